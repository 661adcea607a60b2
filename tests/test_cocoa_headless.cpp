// The headless run loop's virtual time, sources, timers, modal sessions and the controls.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "platform/cocoa/Headless.h"

namespace {

using namespace std::chrono_literals;
using nuv::cocoa::HeadlessRunLoop;

TEST(HeadlessRunLoop, DelayedCallsRunInTimeOrderAndOnlyWhenDue) {
  HeadlessRunLoop loop;
  std::vector<int> order;
  loop.performAfterDelay(4s, [&] { order.push_back(4); });
  loop.performAfterDelay(500ms, [&] { order.push_back(1); });
  loop.performAfterDelay(500ms, [&] { order.push_back(2); });
  EXPECT_EQ(loop.runUntilIdle(), 0u);
  loop.advance(499ms);
  EXPECT_TRUE(order.empty());
  loop.advance(1ms);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  const auto before = loop.now();
  loop.advance(10s);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 4}));
  EXPECT_EQ(loop.now() - before, 10s);
}

TEST(HeadlessRunLoop, CallsScheduledFromACallSeeTheClockOfTheirCaller) {
  HeadlessRunLoop loop;
  std::vector<nuv::Clock::time_point> at;
  const auto start = loop.now();
  loop.performAfterDelay(1s, [&] {
    at.push_back(loop.now());
    loop.performAfterDelay(1s, [&] { at.push_back(loop.now()); });
  });
  loop.advance(5s);
  ASSERT_EQ(at.size(), 2u);
  EXPECT_EQ(at[0] - start, 1s);
  EXPECT_EQ(at[1] - start, 2s);
}

TEST(HeadlessRunLoop, SignalsCoalesceAndRemovedSourcesStayQuiet) {
  HeadlessRunLoop loop;
  int runs = 0;
  const auto id = loop.addSource([&] { ++runs; });
  loop.signalSource(id);
  loop.signalSource(id);
  EXPECT_EQ(loop.runUntilIdle(), 1u);
  EXPECT_EQ(runs, 1);
  loop.removeSource(id);
  loop.signalSource(id);
  loop.signalSource(12345);  // unknown: ignored
  EXPECT_EQ(loop.runUntilIdle(), 0u);
}

TEST(HeadlessRunLoop, SignalFromAnotherThreadWakesTheWaiter) {
  HeadlessRunLoop loop;
  int runs = 0;
  const auto id = loop.addSource([&] { ++runs; });
  std::thread other([&] { loop.signalSource(id); });
  EXPECT_TRUE(loop.waitForSignal(5s));
  other.join();
  loop.runUntilIdle();
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(loop.waitForSignal(1ms));
}

TEST(HeadlessRunLoop, TimersRearmWithoutAllocatingNewOnes) {
  HeadlessRunLoop loop;
  int fired = 0;
  const auto id = loop.addTimer([&] { ++fired; });
  loop.armTimer(id, loop.now() + 2ms);
  loop.armTimer(id, loop.now() + 1ms);  // moved, fires once
  loop.advance(5ms);
  EXPECT_EQ(fired, 1);
  loop.armTimer(id, loop.now() + 1ms);
  loop.disarmTimer(id);
  loop.advance(5ms);
  EXPECT_EQ(fired, 1);
  loop.removeTimer(id);
  loop.armTimer(id, loop.now());
  loop.advance(1ms);
  EXPECT_EQ(fired, 1);
}

TEST(HeadlessRunLoop, NothingIsDeliveredInsideAModalSession) {
  HeadlessRunLoop loop;
  int delayed = 0, sourced = 0;
  const auto id = loop.addSource([&] { ++sourced; });
  loop.performAfterDelay(1s, [&] { ++delayed; });
  {
    nuv::cocoa::ModalSession session(loop);
    loop.signalSource(id);
    loop.advance(5s);
    EXPECT_EQ(loop.runUntilIdle(), 0u);
    EXPECT_EQ(delayed + sourced, 0);
  }
  EXPECT_EQ(loop.runUntilIdle(), 2u);
  EXPECT_EQ(delayed, 1);
  EXPECT_EQ(sourced, 1);
}

TEST(HeadlessRunLoop, ReadableDescriptorIsDelivered) {
  HeadlessRunLoop loop;
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  int reads = 0;
  const auto watch = loop.watchReadable(fds[0], [&] {
    char c;
    ASSERT_EQ(::read(fds[0], &c, 1), 1);
    ++reads;
  });
  EXPECT_EQ(loop.runUntilIdle(), 0u);
  ASSERT_EQ(::write(fds[1], "ab", 2), 2);
  EXPECT_EQ(loop.runUntilIdle(), 2u);
  EXPECT_EQ(reads, 2);
  loop.unwatch(watch);
  ASSERT_EQ(::write(fds[1], "c", 1), 1);
  EXPECT_EQ(loop.runUntilIdle(), 0u);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(HeadlessControls, ClicksReachOnlyEnabledShownButtons) {
  nuv::cocoa::HeadlessView parent;
  nuv::cocoa::HeadlessButton button("Go");
  parent.addSubview(button);
  int clicks = 0;
  button.setAction([&] { ++clicks; });
  EXPECT_TRUE(button.click());
  button.setEnabled(false);
  EXPECT_FALSE(button.click());
  button.setEnabled(true);
  parent.setHidden(true);
  EXPECT_FALSE(button.click());
  EXPECT_EQ(clicks, 1);
}

TEST(HeadlessApplication, AlertAndPanelRunInsideAModalSession) {
  nuv::cocoa::HeadlessApplication app;
  bool modalInAlert = false, modalInPanel = false;
  app.setAlertResponder([&](const nuv::cocoa::Alert&) {
    modalInAlert = app.runLoop().inModalSession();
    return nuv::cocoa::kAlertFirstButtonReturn + 1;
  });
  app.setOpenPanelResponder([&] {
    modalInPanel = app.runLoop().inModalSession();
    return nuv::cocoa::OpenPanelResult{};
  });
  EXPECT_EQ(app.runModalAlert({"m", "i", {"OK", "Cancel"}}), 1001);
  EXPECT_EQ(app.runModalOpenPanel().response, nuv::cocoa::kModalResponseCancel);
  EXPECT_TRUE(modalInAlert);
  EXPECT_TRUE(modalInPanel);
  EXPECT_FALSE(app.runLoop().inModalSession());
  EXPECT_FALSE(app.loadNib("Other").has_value());
  EXPECT_TRUE(app.loadNib("HIDViewController").has_value());
}

}  // namespace
