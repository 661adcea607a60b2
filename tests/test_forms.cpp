// The headless backend of the GUI toolkit seam: hand-over from other threads, message rounds,
// hooks, timers on a clock the test moves, scripted dialogs and boxes, shutting down.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/forms/Forms.h"
#include "platform/forms/Headless.h"

namespace {

using namespace std::chrono_literals;

TEST(HeadlessGui, SynchronizeRunsOnTheGuiThreadAndReturnsAfterItRan) {
  nuv::forms::HeadlessGui gui;
  std::thread::id ranOn;
  bool returned = false;
  std::thread reader([&] {
    auto fn = [](void* ctx) { *static_cast<std::thread::id*>(ctx) = std::this_thread::get_id(); };
    EXPECT_TRUE(gui.synchronize(fn, &ranOn));
    returned = true;
  });
  ASSERT_TRUE(gui.waitForSynchronize(5s));
  EXPECT_FALSE(returned);
  gui.processMessages();
  reader.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_TRUE(returned);
}

TEST(HeadlessGui, SynchronizeIsRefusedOnceShuttingDown) {
  nuv::forms::HeadlessGui gui;
  std::atomic<int> ran{0};
  auto fn = [](void* ctx) { ++*static_cast<std::atomic<int>*>(ctx); };
  bool waitingResult = true;
  std::thread waiting([&] { waitingResult = gui.synchronize(fn, &ran); });
  ASSERT_TRUE(gui.waitForSynchronize(5s));
  gui.shutDown();
  waiting.join();
  EXPECT_FALSE(waitingResult);
  std::thread late([&] { EXPECT_FALSE(gui.synchronize(fn, &ran)); });
  late.join();
  gui.processMessages();
  EXPECT_EQ(ran, 0);
}

TEST(HeadlessGui, CheckSynchronizeRunsHandOversButNoClicksOrTicks) {
  nuv::ManualClock clock;
  nuv::forms::HeadlessGui gui(clock);
  nuv::forms::Timer timer(gui);
  timer.setInterval(200ms);
  int ticks = 0, clicks = 0, handed = 0;
  timer.onTimer = [&] { ++ticks; };
  timer.setEnabled(true);
  clock.advance(200ms);
  gui.post([&] { ++clicks; });
  std::thread reader(
      [&] { EXPECT_TRUE(gui.synchronize([](void* c) { ++*static_cast<int*>(c); }, &handed)); });
  ASSERT_TRUE(gui.waitForSynchronize(5s));
  gui.checkSynchronize();
  reader.join();
  EXPECT_EQ(handed, 1);
  EXPECT_EQ(clicks, 0);
  EXPECT_EQ(ticks, 0);
  gui.processMessages();
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(ticks, 1);
}

TEST(HeadlessGui, OnTheGuiThreadSynchronizeRunsAtOnce) {
  nuv::forms::HeadlessGui gui;
  int ran = 0;
  EXPECT_TRUE(gui.synchronize([](void* c) { ++*static_cast<int*>(c); }, &ran));
  EXPECT_EQ(ran, 1);
}

struct RecordingHook : nuv::forms::MainWindowHook {
  std::vector<nuv::forms::WindowMessage> seen;
  bool handle = false;
  bool onMainWindowMessage(const nuv::forms::WindowMessage& m) override {
    seen.push_back(m);
    return handle;
  }
};

TEST(HeadlessGui, PostedMessagesReachTheHooksInOrderUntilOneHandlesThem) {
  nuv::forms::HeadlessGui gui;
  RecordingHook first, second;
  gui.hookMainWindow(first);
  gui.hookMainWindow(second);
  std::thread poster([&] {
    gui.postMainWindowMessage({nuv::forms::kWmDeviceChange, nuv::forms::kDbtDevNodesChanged, 0});
  });
  poster.join();
  gui.processMessages();
  ASSERT_EQ(first.seen.size(), 1u);
  EXPECT_EQ(first.seen[0].wParam, nuv::forms::kDbtDevNodesChanged);
  EXPECT_EQ(second.seen.size(), 1u);
  first.handle = true;
  gui.postMainWindowMessage({0x0400, 1, 2});
  gui.processMessages();
  EXPECT_EQ(first.seen.size(), 2u);
  EXPECT_EQ(second.seen.size(), 1u);
  gui.unhookMainWindow(first);
  gui.postMainWindowMessage({0x0400, 1, 2});
  gui.processMessages();
  EXPECT_EQ(first.seen.size(), 2u);
  EXPECT_EQ(second.seen.size(), 2u);
}

TEST(HeadlessGui, ARoundHandlesOnlyWhatWasPendingOnEntry) {
  nuv::forms::HeadlessGui gui;
  int runs = 0;
  std::function<void()> again = [&] {
    ++runs;
    gui.post(again);
  };
  gui.post(again);
  gui.processMessages();
  EXPECT_EQ(runs, 1);
  gui.processMessages();
  EXPECT_EQ(runs, 2);
}

struct TimerTest : ::testing::Test {
  nuv::ManualClock clock;
  nuv::forms::HeadlessGui gui{clock};
  nuv::forms::Timer timer{gui};
  int ticks = 0;
  void SetUp() override {
    timer.setInterval(200ms);
    timer.onTimer = [this] { ++ticks; };
  }
};

TEST_F(TimerTest, TicksFollowTheClockNotTheWall) {
  timer.setEnabled(true);
  gui.processMessages();
  EXPECT_EQ(ticks, 0);
  for (int i = 0; i < 21; ++i) {
    clock.advance(200ms);
    gui.processMessages();
  }
  EXPECT_EQ(ticks, 21);
  clock.advance(199ms);
  gui.processMessages();
  EXPECT_EQ(ticks, 21);
}

TEST_F(TimerTest, EnablingARunningTimerKeepsItsPeriod) {
  timer.setEnabled(true);
  clock.advance(150ms);
  timer.setEnabled(true);
  clock.advance(50ms);
  gui.processMessages();
  EXPECT_EQ(ticks, 1);
}

TEST_F(TimerTest, MissedPeriodsFoldIntoOneTickAndAStoppedTimerIsSilent) {
  timer.setEnabled(true);
  clock.advance(1000ms);
  gui.processMessages();
  EXPECT_EQ(ticks, 1);
  timer.setEnabled(false);
  clock.advance(1000ms);
  gui.processMessages();
  EXPECT_EQ(ticks, 1);
}

TEST_F(TimerTest, IdleHandlerRunsInsteadOfWaitingWhenNothingIsDue) {
  timer.setEnabled(true);
  int idles = 0;
  gui.onIdle = [&] {
    ++idles;
    clock.advance(200ms);
  };
  for (gui.processMessages(); ticks < 3; gui.processMessages()) gui.waitForMessages(10s);
  EXPECT_EQ(idles, 3);
}

TEST(HeadlessGui, WaitReturnsWhenWorkArrivesFromAnotherThread) {
  nuv::forms::HeadlessGui gui;
  int ran = 0;
  std::thread poster([&] {
    std::this_thread::sleep_for(20ms);
    gui.post([&] { ran = 1; });
  });
  const auto start = std::chrono::steady_clock::now();
  gui.waitForMessages(60s);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  gui.processMessages();
  poster.join();
  EXPECT_EQ(ran, 1);
}

TEST(HeadlessGui, BoxesAreTitledAndReactivateTheForm) {
  nuv::forms::HeadlessGui gui;
  gui.setTitle("USB UPDATA FOR NUV");
  nuv::forms::Form form;
  int activations = 0;
  form.onActivate = [&] { ++activations; };
  gui.setMainForm(form);
  gui.messageBox(nuv::forms::BoxKind::Plain, "Filesize is error");
  gui.messageBox(nuv::forms::BoxKind::Error, "Data error");
  ASSERT_EQ(gui.boxes().size(), 2u);
  EXPECT_EQ(gui.boxes()[0].title, "USB UPDATA FOR NUV");
  EXPECT_EQ(gui.boxes()[1].title, "Error");
  EXPECT_EQ(gui.boxes()[1].kind, nuv::forms::BoxKind::Error);
  EXPECT_EQ(activations, 2);
}

TEST(HeadlessGui, OpenDialogAnswersAreScriptedAndEmptyMeansCancel) {
  nuv::forms::HeadlessGui gui;
  nuv::forms::OpenDialog dialog(gui);
  dialog.title = "Open updata File";
  gui.queueOpenDialogAnswer("/some/UPDATA.nuv");
  ASSERT_TRUE(dialog.execute());
  EXPECT_EQ(dialog.fileName, "/some/UPDATA.nuv");
  gui.queueOpenDialogAnswer(std::nullopt);
  EXPECT_FALSE(dialog.execute());
  EXPECT_FALSE(dialog.execute());
  ASSERT_EQ(gui.dialogsShown().size(), 3u);
  EXPECT_EQ(gui.dialogsShown()[0].title, "Open updata File");
}

TEST(HeadlessGui, CloseRequestAsksTheFormAndEndsTheLoopWhenAllowed) {
  nuv::forms::HeadlessGui gui;
  nuv::forms::Form form;
  bool allow = false;
  int asked = 0;
  form.onCloseQuery = [&](bool& canClose) {
    ++asked;
    canClose = allow;
  };
  gui.setMainForm(form);
  gui.requestClose();
  gui.processMessages();
  EXPECT_FALSE(gui.terminated());
  allow = true;
  gui.requestClose();
  gui.run();
  EXPECT_TRUE(gui.terminated());
  EXPECT_EQ(asked, 2);
}

TEST(LineListBox, KeepsLinesAndStopsAtItsLimit) {
  nuv::forms::LineListBox box(4, 3);
  box.addLine("R 00  10");
  box.addLine("R 00  1C");
  box.addLine("");
  box.addLine("lost");
  ASSERT_EQ(box.count(), 3u);
  EXPECT_EQ(box.line(0), "R 00  10");
  EXPECT_EQ(box.line(1), "R 00  1C");
  EXPECT_EQ(box.line(2), "");
  EXPECT_EQ(box.dropped(), 1u);
  box.clear();
  EXPECT_EQ(box.count(), 0u);
}

TEST(SpeedButton, ClickIsIgnoredWhileDisabledAndToggleButtonsToggle) {
  nuv::forms::SpeedButton b;
  int clicks = 0;
  b.onClick = [&] { ++clicks; };
  b.setEnabled(false);
  b.click();
  EXPECT_EQ(clicks, 0);
  b.setEnabled(true);
  b.setGroup(1, true);
  b.click();
  EXPECT_TRUE(b.down());
  b.click();
  EXPECT_FALSE(b.down());
  EXPECT_EQ(clicks, 2);
}

}  // namespace
