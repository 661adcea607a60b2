// The terminal backends of the forms and Cocoa seams.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "platform/cocoa/Terminal.h"
#include "platform/forms/Terminal.h"

namespace {

using namespace std::chrono_literals;

struct FormsEvents final : nuv::forms::TerminalSink {
  std::vector<std::pair<std::string, nuv::forms::StatusTone>> statuses;
  std::vector<std::pair<std::int64_t, std::int64_t>> steps;
  std::vector<std::string> messages;
  void status(std::string_view text, nuv::forms::StatusTone tone) override {
    statuses.emplace_back(std::string(text), tone);
  }
  void progress(std::int64_t v, std::int64_t m) override { steps.emplace_back(v, m); }
  void message(nuv::forms::BoxKind, std::string_view text) override { messages.emplace_back(text); }
};

TEST(TerminalForms, StatusChangesAreReportedOnceWithTheToneOfTheirColour) {
  FormsEvents events;
  nuv::forms::TerminalGui gui(events, "image.nuv");
  nuv::forms::StatusBar bar;
  bar.setPanelText("Idle");
  gui.showStatusBar(bar);
  bar.setColor(nuv::forms::kClBtnFace);
  bar.setPanelText("Link...");
  bar.setColor(nuv::forms::rgb(255, 0, 0));  // the colour first: the old text is not news
  bar.setPanelText("Time out  error");
  bar.setPanelText("Time out  error");
  bar.setColor(nuv::forms::rgb(0, 128, 0));
  bar.setPanelText("Update Completed");
  ASSERT_EQ(events.statuses.size(), 3u);
  EXPECT_EQ(events.statuses[0],
            std::make_pair(std::string("Link..."), nuv::forms::StatusTone::Normal));
  EXPECT_EQ(events.statuses[1],
            std::make_pair(std::string("Time out  error"), nuv::forms::StatusTone::Failure));
  EXPECT_EQ(events.statuses[2],
            std::make_pair(std::string("Update Completed"), nuv::forms::StatusTone::Success));
}

TEST(TerminalForms, GaugeDialogBoxesAndInterrupt) {
  FormsEvents events;
  nuv::forms::TerminalGui gui(events, "image.nuv");
  nuv::forms::Control gauge;
  std::int64_t value = 0;
  gui.showGauge(gauge, [&] { return std::pair<std::int64_t, std::int64_t>(value, 65536); });
  gauge.setVisible(false);
  value = 4;
  gauge.setBounds(0, 0, 1, 1);  // a change while hidden is not shown
  gauge.setVisible(true);
  EXPECT_EQ(events.steps.size(), 1u);
  EXPECT_EQ(events.steps.back(), std::make_pair(std::int64_t{4}, std::int64_t{65536}));

  nuv::forms::OpenDialog dialog(gui);
  dialog.fileName = "UPDATA.nuv";
  EXPECT_TRUE(dialog.execute());
  EXPECT_EQ(dialog.fileName, "image.nuv");
  EXPECT_TRUE(dialog.execute()) << "every dialog is answered, not only the first";

  gui.messageBox(nuv::forms::BoxKind::Plain, "Filesize is error");
  EXPECT_EQ(events.messages, std::vector<std::string>{"Filesize is error"});
  ASSERT_EQ(gui.boxes().size(), 1u);

  bool stopped = false;
  gui.onInterrupt = [&] { stopped = true; };
  std::thread([&] { gui.interrupt(); }).join();
  EXPECT_FALSE(stopped) << "nothing runs on the interrupting thread";
  gui.processMessages();
  EXPECT_TRUE(stopped);
}

struct CocoaEvents final : nuv::cocoa::TerminalSink {
  std::vector<std::string> statuses, captions, alerts;
  int steps = 0;
  void status(std::string_view t) override { statuses.emplace_back(t); }
  void caption(std::string_view t) override { captions.emplace_back(t); }
  void progress(double, double, double) override { ++steps; }
  void alert(const nuv::cocoa::Alert& a) override { alerts.push_back(a.informativeText); }
};

TEST(TerminalCocoa, TextsThatTheBarsNextStepFollowsAreCaptions) {
  CocoaEvents events;
  nuv::cocoa::TerminalApplication app(events, "image.nuv");
  auto outlets = app.loadNib("HIDViewController");
  ASSERT_TRUE(outlets);
  auto& status = *outlets->statusTextField;
  auto& bar = *outlets->progressIndicator;
  bar.setHidden(true);
  status.setStringValue("Ready");
  status.setStringValue("Ready");
  status.setStringValue("Downloading...");
  bar.setHidden(false);
  bar.setDoubleValue(0);
  status.setStringValue("Writing address: 0x4");
  bar.setDoubleValue(4 / 65536.0);
  status.setStringValue("Writing address: 0x8");
  bar.setDoubleValue(8 / 65536.0);
  (void)app.runModalAlert({"Error", "Error on writing address: 0x8", {"OK"}});
  status.setStringValue("Error on writing address: 0x8");
  bar.setHidden(true);
  EXPECT_EQ(events.statuses,
            (std::vector<std::string>{"Ready", "Downloading...", "Error on writing address: 0x8"}));
  EXPECT_EQ(events.captions,
            (std::vector<std::string>{"Writing address: 0x4", "Writing address: 0x8"}));
  EXPECT_EQ(events.steps, 3);
  EXPECT_EQ(events.alerts, std::vector<std::string>{"Error on writing address: 0x8"});
  const auto panel = app.runModalOpenPanel();
  EXPECT_EQ(panel.response, nuv::cocoa::kModalResponseOK);
  EXPECT_EQ(panel.paths, std::vector<std::string>{"image.nuv"});
}

TEST(TerminalCocoa, RunLoopWakesForSignalsReadableDescriptorsAndDelays) {
  nuv::cocoa::TerminalRunLoop loop;
  std::vector<int> order;
  loop.performAfterDelay(0ms, [&] { order.push_back(1); });
  loop.performAfterDelay(0ms, [&] { order.push_back(2); });
  const auto source = loop.addSource([&] { order.push_back(3); });
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const auto watch = loop.watchReadable(fds[0], [&] {
    char c;
    (void)!::read(fds[0], &c, 1);
    order.push_back(4);
  });
  std::thread other([&] {
    loop.signalSource(source);
    (void)!::write(fds[1], "x", 1);
  });
  loop.runUntil([&] { return order.size() == 4; });
  other.join();
  EXPECT_LT(std::find(order.begin(), order.end(), 1), std::find(order.begin(), order.end(), 2));
  loop.unwatch(watch);
  loop.removeSource(source);
  ::close(fds[0]);
  ::close(fds[1]);
  // Inside a modal session nothing is delivered.
  bool ran = false;
  loop.performAfterDelay(0ms, [&] { ran = true; });
  loop.beginModal();
  EXPECT_EQ(loop.runUntilIdle(), 0u);
  loop.endModal();
  EXPECT_EQ(loop.runUntilIdle(), 1u);
  EXPECT_TRUE(ran);
}

}  // namespace
