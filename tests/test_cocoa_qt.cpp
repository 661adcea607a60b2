// The Qt run loop: delayed calls, sources signalled from other threads, and a modal session
// that holds back everything until it ends.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <thread>

#include "platform/cocoa/Qt.h"

namespace {

using namespace std::chrono_literals;

// Runs Qt's loop until `done` or 5 s of real time.
template <class F>
bool spinUntil(F done) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < 5000) QApplication::processEvents(QEventLoop::AllEvents, 10);
  return done();
}

TEST(QtRunLoop, DelayedCallsAndSourcesAreDelivered) {
  nuv::cocoa::QtApplication app("cocoa-qt-test");
  auto& loop = app.runLoop();
  int delayed = 0, sourced = 0;
  loop.performAfterDelay(1ms, [&] { ++delayed; });
  const auto id = loop.addSource([&] { ++sourced; });
  std::thread other([&] { loop.signalSource(id); });
  other.join();
  EXPECT_TRUE(spinUntil([&] { return delayed == 1 && sourced == 1; }));
}

TEST(QtRunLoop, ModalSessionHoldsDeliveriesBack) {
  nuv::cocoa::QtApplication app("cocoa-qt-test");
  auto& loop = app.runLoop();
  int delivered = 0;
  const auto timer = loop.addTimer([&] { ++delivered; });
  {
    nuv::cocoa::ModalSession session(loop);
    loop.performAfterDelay(0ms, [&] { ++delivered; });
    loop.armTimer(timer, loop.now());
    const auto id = loop.addSource([&] { ++delivered; });
    loop.signalSource(id);
    for (int i = 0; i < 20; ++i) QApplication::processEvents(QEventLoop::AllEvents, 5);
    EXPECT_EQ(delivered, 0);
  }
  EXPECT_TRUE(spinUntil([&] { return delivered == 3; }));
}

TEST(QtApplication, ScriptedAlertRunsInsideAModalSession) {
  nuv::cocoa::QtApplication app("cocoa-qt-test");
  int delivered = 0;
  app.runLoop().performAfterDelay(0ms, [&] { ++delivered; });
  app.setAlertResponder([&](const nuv::cocoa::Alert& alert) {
    for (int i = 0; i < 10; ++i) QApplication::processEvents(QEventLoop::AllEvents, 5);
    EXPECT_EQ(delivered, 0);
    EXPECT_EQ(alert.messageText, "Error");
    return nuv::cocoa::kAlertFirstButtonReturn;
  });
  EXPECT_EQ(app.runModalAlert({"Error", "text", {"OK"}}), nuv::cocoa::kAlertFirstButtonReturn);
  EXPECT_TRUE(spinUntil([&] { return delivered == 1; }));
}

}  // namespace
