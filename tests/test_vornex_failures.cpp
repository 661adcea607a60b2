// How each failure of an exchange ends a flow: the status line, the error box, the time-out
// on the window's clock, and the stop and close requests in every phase.
#include "tests/test_vornex_fixture.h"

namespace vornex_test {
namespace {

nuv::sim::Fault at(nuv::sim::FaultKind kind, nuv::sim::Trigger::Kind where, std::uint32_t value) {
  nuv::sim::Fault f;
  f.kind = kind;
  f.when = {where, value};
  return f;
}
nuv::sim::Fault atCode(nuv::sim::FaultKind kind, std::uint8_t code) {
  return at(kind, nuv::sim::Trigger::Kind::AtCode, code);
}

const Status kTimeoutStatus{kStatusRed, "Time out  error"};
const Status kDataErrorStatus{kStatusRed, "Data error"};

class FailureTest : public VornexTest {
 protected:
  // Puts a reply of the window's own making in front of it, as the reader would deliver it.
  void inject(std::initializer_list<std::uint8_t> data) {
    std::array<std::uint8_t, 8> bytes{};
    std::copy(data.begin(), data.end(), bytes.begin());
    form_->ReportReceived(*form_->CurrentDevice, 0, bytes.data(), 8);
  }
  void expectErrorBox(const std::string& text) {
    ASSERT_EQ(gui_.boxes().size(), 1u);
    EXPECT_EQ(gui_.boxes()[0].kind, nuv::forms::BoxKind::Error);
    EXPECT_EQ(gui_.boxes()[0].title, "Error");
    EXPECT_EQ(gui_.boxes()[0].text, text);
  }
  void download() {
    chooseFile(writeFile("UPDATA.nuv", makeImage()));
    form_->Write_car.click();
  }
};

TEST_F(FailureTest, ASendWithoutDeviceIsNoConnectedAndStillStartsTheTimeOut) {
  start();
  form_->READ_carClick();
  EXPECT_EQ(statuses_.back(), (Status{kStatusRed, "No connected"}));
  expectErrorBox("No connected");
  EXPECT_EQ(form_->ResultCode, ResultNoDevice);
  EXPECT_TRUE(form_->Timer1.enabled());
  EXPECT_EQ(form_->TickCount, 0);
  EXPECT_FALSE(form_->Busy);
}

TEST_F(FailureTest, AFailedWriteIsDataErrorAndNothingMoreIsSent) {
  auto device = plug({.faults = {atCode(nuv::sim::FaultKind::WriteFailure, kCmdLink)}});
  start();
  form_->READ_car.click();
  EXPECT_EQ(statuses_,
            (std::vector<Status>{{kStatusNormal, "Idle"}, kLinkStatus, kDataErrorStatus}));
  expectErrorBox("Data error");
  EXPECT_EQ(countOf(*device, kCmdVersion), 0u);
}

TEST_F(FailureTest, AReplyThatDoesNotEchoTheCodeIsDataError) {
  plug({.faults = {atCode(nuv::sim::FaultKind::WrongCode, kCmdVersion)}});
  start();
  form_->READ_car.click();
  EXPECT_EQ(statuses_.back(), kDataErrorStatus);
  expectErrorBox("Data error");
}

TEST_F(FailureTest, AReplyWithAnotherSecondParameterByteIsDataError) {
  auto device = plug({.faults = {atCode(nuv::sim::FaultKind::NoReply, kCmdVersion)}});
  start();
  gui_.onIdle = [&] {
    if (countOf(*device, kCmdVersion) == 1 && !form_->ReplyReady) inject({0x1C, 0x00, 0x01});
  };
  form_->READ_car.click();
  EXPECT_EQ(statuses_.back(), kDataErrorStatus);
  EXPECT_EQ(form_->ResultCode, ResultDataError);
}

TEST_F(FailureTest, AWriteReplyEchoingAnotherAddressIsDataErrorWithGaugeHiddenAndNoBurn) {
  auto device = plug({.faults = {at(nuv::sim::FaultKind::WrongAddress,
                                    nuv::sim::Trigger::Kind::AtAddress, 0x1000)}});
  start();
  download();
  EXPECT_EQ(statuses_.back(), kDataErrorStatus);
  expectErrorBox("Data error");
  EXPECT_FALSE(form_->Gauge1.visible());
  EXPECT_FALSE(form_->Busy);
  EXPECT_EQ(countOf(*device, kCmdWrite), 0x1000u / 4 + 1);
  EXPECT_EQ(device->burnCount(), 0u);
  // The image file was closed: it can be replaced at once.
  EXPECT_TRUE(std::filesystem::remove(dir_ / "UPDATA.nuv"));
}

TEST_F(FailureTest, ReplyCodeZeroIsNoRespondEvenWhenTheEchoDiffersToo) {
  plug({.faults = {atCode(nuv::sim::FaultKind::ReplyCodeZero, kCmdLink)}});
  start();
  form_->READ_car.click();
  EXPECT_EQ(statuses_.back(), (Status{kStatusRed, "No  respond"}));
  expectErrorBox("No  respond");

  auto second = plug({.faults = {atCode(nuv::sim::FaultKind::NoReply, kCmdLink)}});
  bus_.unplug(pathOf(bus_.device(bus_.devices().front().path)));
  pump();
  gui_.onIdle = [&] {
    if (form_->CurrentDevice != nullptr && countOf(*second, kCmdLink) == 1 && !form_->ReplyReady) {
      inject({0x00, 0x05, 0x07});
    }
  };
  form_->READ_car.click();
  EXPECT_EQ(form_->ResultCode, ResultNoResponse);
  EXPECT_EQ(statuses_.back(), (Status{kStatusRed, "No  respond"}));
}

TEST_F(FailureTest, NoReplyTimesOutOnTheTwentyFirstTick) {
  auto device = plug({.faults = {atCode(nuv::sim::FaultKind::NoReply, kCmdVersion)}});
  start();
  int ticksAtTimeout = -1;
  nuv::Clock::time_point timedOutAt{};
  onStatus = [&](const Status& s) {
    if (s.text == "Time out  error") ticksAtTimeout = ticks_, timedOutAt = clock_.now();
  };
  tickWhen([&] { return countOf(*device, kCmdVersion) == 1; });
  const auto started = clock_.now();
  form_->READ_car.click();
  EXPECT_EQ(statuses_, (std::vector<Status>{
                           {kStatusNormal, "Idle"}, kLinkStatus, kVersionStatus, kTimeoutStatus}));
  expectErrorBox("Time out  error");
  EXPECT_EQ(ticksAtTimeout, 21);
  EXPECT_FALSE(form_->Timer1.enabled());  // the timer stops itself
  // The time-out fell 4.2 s after the send on the window's clock, which only the test moves.
  EXPECT_EQ(timedOutAt - started, 4200ms);
}

// The reply becomes readable `delay` after the Version command on the window's clock; the idle
// handler lets it be handed over before the round in which the tick of that moment falls.
class LateReplyTest : public FailureTest {
 protected:
  void runWithDelay(std::chrono::milliseconds delay) {
    nuv::sim::Fault late = atCode(nuv::sim::FaultKind::LateReply, kCmdVersion);
    late.delay = delay;
    device_ = plug({.faults = {late}});
    start();
    onStatus = [this](const Status&) { ticksAtEnd_ = ticks_; };
    gui_.onIdle = [this, delay] {
      if (countOf(*device_, kCmdVersion) == 0 || form_->ResultCode != 0 || form_->ReplyReady) {
        (void)gui_.waitForSynchronize(5ms);
        return;
      }
      ++ticks_;
      clock_.advance(200ms);
      if (ticks_ * 200ms >= delay) {
        EXPECT_TRUE(gui_.waitForSynchronize(10s));
      }
    };
    form_->READ_car.click();
  }
  std::shared_ptr<nuv::sim::UpdateDevice> device_;
  int ticksAtEnd_ = 0;
};

TEST_F(LateReplyTest, AReplyInTheSameRoundAsTheTwentyFirstTickIsTooLate) {
  runWithDelay(4200ms);
  EXPECT_EQ(form_->ResultCode, ResultTimeout);
  EXPECT_EQ(statuses_.back(), kTimeoutStatus);
  EXPECT_EQ(ticksAtEnd_, 21);
}

TEST_F(LateReplyTest, AReplyInTheSameRoundAsTheTwentiethTickIsInTime) {
  runWithDelay(4000ms);
  EXPECT_EQ(form_->ResultCode, ResultNone);
  EXPECT_EQ(statuses_.back(), (Status{kStatusGreen, "Version:1.01"}));
  EXPECT_EQ(ticksAtEnd_, 20);
}

TEST_F(FailureTest, ReportErrorShowsNothingForZeroAndOtherErrorAboveFour) {
  plug();
  start();
  form_->ReportError(0);
  form_->ReportError(-3);
  EXPECT_TRUE(gui_.boxes().empty());
  EXPECT_EQ(statuses_.size(), 1u);
  form_->ReportError(7);
  EXPECT_EQ(statuses_.back(), (Status{kStatusRed, "other error"}));
  expectErrorBox("other error");
}

TEST_F(FailureTest, AReadErrorOnlyChangesTheStatusTextAndTheFlowTimesOut) {
  auto device = plug();
  start();
  api_->failReadStarts(pathOf(device), true);
  bool sawReadError = false;
  onStatus = [&](const Status& s) {
    if (s.text.rfind("READ ERROR: ", 0) == 0) {
      sawReadError = true;
      EXPECT_EQ(s.text, "READ ERROR: A device attached to the system is not functioning (1F)");
      EXPECT_EQ(s.color, kStatusNormal);
    }
  };
  tickWhen([&] { return sawReadError; });
  form_->READ_car.click();
  EXPECT_TRUE(sawReadError);
  EXPECT_EQ(statuses_.back(), kTimeoutStatus);
}

TEST_F(FailureTest, UnplugWhileWaitingDisablesTheButtonsAndEndsWithTimeOut) {
  auto device = plug({.faults = {atCode(nuv::sim::FaultKind::NoReply, kCmdLink)}});
  start();
  const std::string path = pathOf(device);
  bool unplugged = false;
  gui_.onIdle = [&] {
    if (!unplugged && countOf(*device, kCmdLink) == 1) {
      unplugged = bus_.unplug(path);
      return;
    }
    if (unplugged) {
      ++ticks_;
      clock_.advance(200ms);
    } else {
      (void)gui_.waitForSynchronize(5ms);
    }
  };
  form_->READ_car.click();
  EXPECT_EQ(statuses_.back(), kTimeoutStatus);
  EXPECT_FALSE(form_->READ_car.enabled());
  EXPECT_FALSE(form_->Write_car.enabled());
  EXPECT_EQ(form_->CurrentDevice, nullptr);
}

TEST_F(FailureTest, UnplugInTheMiddleOfTheWritesEndsWithoutBurn) {
  auto device = plug(
      {.faults = {at(nuv::sim::FaultKind::Unplug, nuv::sim::Trigger::Kind::AtAddress, 0x2000)}});
  start();
  tickWhen([&] { return bus_.devices().empty(); });
  download();
  EXPECT_EQ(statuses_.back(), kTimeoutStatus);
  EXPECT_EQ(device->burnCount(), 0u);
  EXPECT_FALSE(form_->Gauge1.visible());
}

TEST_F(FailureTest, StopWhileIdleIsIgnored) {
  plug();
  start();
  form_->stop_button.click();
  EXPECT_FALSE(form_->StopRequested);
}

class StopTest : public FailureTest {
 protected:
  // Presses Stop (a click in the next round of messages) when the status shows `text`.
  void stopAt(const std::string& text) {
    onStatus = [this, text](const Status& s) {
      if (s.text == text) gui_.post([this] { form_->stop_button.click(); });
    };
  }
};

TEST_F(StopTest, StopDuringLinkIsActedOnAtTheFirstWriteWait) {
  auto device = plug();
  start();
  stopAt("Link...");
  download();
  EXPECT_EQ(statuses_.back(), (Status{kStatusNormal, "Writing Data..."}));
  EXPECT_TRUE(gui_.boxes().empty());
  EXPECT_EQ(device->formatCount(), 1u);
  EXPECT_EQ(countOf(*device, kCmdWrite), 1u);
  EXPECT_FALSE(form_->StopRequested);
  EXPECT_FALSE(form_->Gauge1.visible());
}

TEST_F(StopTest, StopDuringTheDownloadsVersionStepIsActedOnAtTheFirstWriteWait) {
  auto device = plug();
  start();
  stopAt("Get version...");
  download();
  EXPECT_EQ(statuses_.back(), (Status{kStatusNormal, "Writing Data..."}));
  EXPECT_EQ(device->formatCount(), 1u);
  EXPECT_EQ(countOf(*device, kCmdWrite), 1u);
}

TEST_F(StopTest, StopDuringEraseLetsTheEraseFinishAndSendsOneWrite) {
  auto device = plug();
  start();
  stopAt("Erase...");
  download();
  EXPECT_EQ(statuses_.back(), (Status{kStatusNormal, "Writing Data..."}));
  EXPECT_EQ(device->formatCount(), 1u);
  const auto commands = device->commands();
  ASSERT_EQ(commands.back().code(), kCmdWrite);
  EXPECT_EQ(commands.back().raw[2], 0);
  EXPECT_EQ(commands.back().raw[3], 0);
  EXPECT_EQ(countOf(*device, kCmdWrite), 1u);
  EXPECT_EQ(device->burnCount(), 0u);
}

TEST_F(StopTest, StopDuringTheWritesEndsSilentlyAtTheNextRound) {
  auto device = plug();
  start();
  onGauge = [this] {
    if (form_->Gauge1.Percent() == 10 && !form_->StopRequested) {
      gui_.post([this] { form_->stop_button.click(); });
    }
  };
  download();
  EXPECT_EQ(statuses_.back(), (Status{kStatusNormal, "Writing Data..."}));
  EXPECT_TRUE(gui_.boxes().empty());
  EXPECT_LT(countOf(*device, kCmdWrite), 16128u / 5);
  EXPECT_EQ(device->burnCount(), 0u);
  EXPECT_FALSE(form_->Gauge1.visible());
  EXPECT_FALSE(form_->Busy);
}

TEST_F(StopTest, AStopThatNoWriteLoopActedOnDoesNotEndTheNextDownload) {
  auto device = plug();
  start();
  stopAt("Get version...");
  form_->READ_car.click();  // the query does not look at the request
  EXPECT_EQ(statuses_.back(), (Status{kStatusGreen, "Version:1.01"}));
  EXPECT_FALSE(form_->StopRequested);

  onStatus = nullptr;
  stopAt("Writing All...");
  download();
  EXPECT_EQ(statuses_.back(), (Status{kStatusGreen, "Update Completed"}));
  EXPECT_FALSE(form_->StopRequested);

  onStatus = nullptr;
  download();
  EXPECT_EQ(statuses_.back(), (Status{kStatusGreen, "Update Completed"}));
  EXPECT_EQ(device->burnCount(), 2u);
}

TEST_F(StopTest, VersionOrDownloadClickedDuringTheWritesDoNothing) {
  auto device = plug();
  start();
  onGauge = [this] {
    if (form_->Gauge1.Percent() == 50) {
      gui_.post([this] {
        form_->READ_car.click();
        form_->Write_car.click();
      });
    }
  };
  download();
  EXPECT_EQ(statuses_.back(), (Status{kStatusGreen, "Update Completed"}));
  EXPECT_EQ(gui_.dialogsShown().size(), 1u);
  EXPECT_EQ(countOf(*device, kCmdLink), 1u);
}

TEST_F(StopTest, ClosingDuringTheWritesEndsTheDownloadSilentlyAndThenTheProgram) {
  auto device = plug();
  start();
  onGauge = [this] {
    if (form_->Gauge1.Percent() == 5 && !form_->StopRequested) gui_.requestClose();
  };
  download();
  EXPECT_TRUE(gui_.terminated());
  EXPECT_EQ(statuses_.back(), (Status{kStatusNormal, "Writing Data..."}));
  EXPECT_TRUE(gui_.boxes().empty());
  EXPECT_EQ(device->burnCount(), 0u);
}

TEST_F(StopTest, ClosingWhileIdleEndsTheProgramAtOnce) {
  plug();
  start();
  gui_.requestClose();
  gui_.run();
  EXPECT_TRUE(gui_.terminated());
}

}  // namespace
}  // namespace vornex_test
