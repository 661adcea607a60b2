// The Qt backend of the forms seam on the offscreen platform: hand-over from another thread,
// waits that are woken rather than spinning, timers, and the window's controls.
#include <gtest/gtest.h>

#include <QLabel>
#include <QToolButton>
#include <cstdlib>
#include <thread>

#include "platform/forms/Qt.h"

namespace {

using namespace std::chrono_literals;

double cpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

TEST(QtGui, HandOversTimersAndControls) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  nuv::forms::QtGui gui("forms-qt-test");

  // A hand-over from a reader thread wakes a GUI thread blocked in its wait.
  int ran = 0;
  std::thread reader([&] {
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(gui.synchronize([](void* c) { ++*static_cast<int*>(c); }, &ran));
  });
  const auto start = std::chrono::steady_clock::now();
  while (ran == 0 && std::chrono::steady_clock::now() - start < 60s) {
    gui.processMessages();
    if (ran == 0) gui.waitForMessages(30s);
  }
  reader.join();
  EXPECT_EQ(ran, 1);
  // Woken by the hand-over, not by the end of the 30 s wait.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 25s);

  // Waiting for a timer does not burn the CPU.
  nuv::forms::Timer timer(gui);
  timer.setInterval(100ms);
  int ticks = 0;
  timer.onTimer = [&] { ++ticks; };
  timer.setEnabled(true);
  const double cpu0 = cpuSeconds();
  const auto wall0 = std::chrono::steady_clock::now();
  while (ticks < 3) {
    gui.processMessages();
    if (ticks < 3) gui.waitForMessages(1s);
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  EXPECT_GE(wall, 0.25);
  EXPECT_LT(cpuSeconds() - cpu0, 0.5 * wall);

  // Controls follow their models.
  nuv::forms::Form form;
  form.setClientSize(200, 100);
  form.setCaption("caption");
  gui.setMainForm(form);
  nuv::forms::SpeedButton button;
  button.setBounds(10, 10, 80, 30);
  button.setCaption("&Go");
  int clicks = 0;
  button.onClick = [&] { ++clicks; };
  nuv::forms::StatusBar bar;
  bar.setBounds(0, 60, 200, 40);
  bar.setPanelText("Idle");
  nuv::forms::QtWindow& window = gui.window({});
  window.addButton(button);
  window.addStatusBar(bar);
  gui.show();
  auto* tool = window.widget()->findChild<QToolButton*>();
  auto* label = window.widget()->findChild<QLabel*>();
  ASSERT_NE(tool, nullptr);
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(window.widget()->windowTitle(), "caption");
  EXPECT_EQ(tool->geometry(), QRect(10, 10, 80, 30));
  tool->click();
  EXPECT_EQ(clicks, 1);
  button.setEnabled(false);
  EXPECT_FALSE(tool->isEnabled());
  bar.setColor(nuv::forms::rgb(255, 0, 0));
  bar.setPanelText("Data error");
  EXPECT_EQ(label->text(), "Data error");
  EXPECT_EQ(label->palette().color(QPalette::Window), QColor(255, 0, 0));
  const QImage shot = gui.grab();
  EXPECT_EQ(shot.pixel(100, 80) & 0xFFFFFF, 0xFF0000u);
  gui.shutDown();
}

}  // namespace
