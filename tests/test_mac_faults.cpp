// A device that answers wrongly, late or not at all, goes away, or is joined by another; and
// update images that are wrong or change under the download.
#include <unistd.h>

#include "tests/mac_fixture.h"

namespace mactest {
namespace {

using namespace nuv::mac;

nuv::sim::UpdateDeviceOptions withFault(nuv::sim::FaultKind kind, nuv::sim::Trigger when) {
  nuv::sim::UpdateDeviceOptions o;
  o.faults.push_back({kind, when});
  return o;
}
constexpr nuv::sim::Trigger atAddress(std::uint32_t a) {
  return {nuv::sim::Trigger::Kind::AtAddress, a};
}
constexpr nuv::sim::Trigger atCode(std::uint8_t c) {
  return {nuv::sim::Trigger::Kind::AtCode, c};
}

TEST_F(MacFixture, WrongDataEchoShowsOneAlertThenIdle) {
  auto device = plug(withFault(nuv::sim::FaultKind::WrongData, atAddress(0x2000)));
  launch();
  // Nothing is delivered while the alert is up: neither the device nor delayed steps.
  std::string textDuringAlert;
  app.setAlertResponder([&](const nuv::cocoa::Alert&) {
    textDuringAlert = statusText();
    (void)bus.plug(nuv::sim::DeviceInfo{"sim:another"});
    loop().advance(10s);
    EXPECT_EQ(loop().runUntilIdle(), 0u);
    EXPECT_NE(statusText(), "Ready");
    return nuv::cocoa::kAlertFirstButtonReturn;
  });
  ASSERT_TRUE(startDownload(validImage()));
  ASSERT_TRUE(loop().advanceUntil([&] { return !app.alerts().empty(); }, 10s));
  ASSERT_EQ(app.alerts().size(), 1u);
  const auto& alert = app.alerts().front();
  EXPECT_EQ(alert.messageText, "Error");
  EXPECT_EQ(alert.informativeText,
            "Error on writing address: 0x2000. Writing operation will be canceled");
  EXPECT_EQ(alert.buttons, std::vector<std::string>{"OK"});
  EXPECT_EQ(textDuringAlert, "Writing address: 0x2000");
  EXPECT_EQ(statusText(), "Error on writing address: 0x2000");
  EXPECT_EQ(state(), HIDStatusIdle);
  EXPECT_TRUE(log.has("Writing error!!!"));
  EXPECT_FALSE(ctrl().holdsImageStream());
  EXPECT_EQ(writes(*device), 0x2000u / 4 + 1);
  // After the alert, the second device's arrival is delivered.
  loop().runUntilIdle();
  EXPECT_EQ(statusText(), "Ready");
  EXPECT_TRUE(nib().downloadButton.isEnabled());
  loop().advance(10s);
  EXPECT_EQ(app.alerts().size(), 1u);
  EXPECT_EQ(device->burnCount(), 0u);
}

TEST_F(MacFixture, UnplugWhileWritingStopsThenIdles) {
  auto device = plug(withFault(nuv::sim::FaultKind::Unplug, atAddress(0x3000)));
  launch();
  ASSERT_TRUE(startDownload(validImage()));
  loop().advance(5s);
  // The bus tells of the unplug from a thread of its own.
  ASSERT_TRUE(loop().waitForSignal(std::chrono::seconds(5)) || ctrl().currentDevice() == nullptr);
  loop().runUntilIdle();
  EXPECT_EQ(ctrl().currentDevice(), nullptr);
  EXPECT_EQ(state(), HIDStatusIdle);
  EXPECT_EQ(statusText(), "idle");
  EXPECT_FALSE(nib().downloadButton.isEnabled());
  EXPECT_FALSE(nib().stopButton.isEnabled());
  EXPECT_TRUE(nib().progressIndicator.isHidden());
  // As on a Mac, the image stays held until the next download replaces it.
  EXPECT_TRUE(ctrl().holdsImageStream());
  EXPECT_EQ(writes(*device), 0x3000u / 4 + 1);
  bool removalLogged = false;
  for (const auto& l : log.lines)
    removalLogged |= l.rfind("IOHIDRemovalDeviceCallbackProc device: ", 0) == 0;
  EXPECT_TRUE(removalLogged);
}

TEST_F(MacFixture, DeviceLostAndBackDuringTheWaitDoesNotWriteByItself) {
  nuv::sim::DeviceInfo info;
  info.path = "sim:update";
  auto device = plug({}, info);
  launch();
  ASSERT_TRUE(startDownload(validImage()));
  loop().advance(1s);
  ASSERT_EQ(state(), HIDStatusWriting);
  ASSERT_TRUE(bus.unplug("sim:update"));
  loop().runUntilIdle();
  EXPECT_EQ(statusText(), "idle");
  auto fresh = plug({}, info);
  EXPECT_EQ(statusText(), "Ready");
  loop().advance(10s);
  // A new device, never linked nor erased for this download, gets no Write.
  EXPECT_EQ(fresh->commandCount(), 0u);
  EXPECT_EQ(state(), HIDStatusIdle);
  EXPECT_TRUE(nib().downloadButton.isEnabled());
}

TEST_F(MacFixture, SecondDeviceArrivingWhileWritingTakesOver) {
  nuv::sim::UpdateDeviceOptions slow;
  slow.latency = {nuv::sim::Latency::Model::Fixed, std::chrono::microseconds(1000)};
  auto first = plug(slow);
  launch();
  auto* firstRef = ctrl().currentDevice();
  ASSERT_TRUE(startDownload(validImage()));
  ASSERT_TRUE(loop().advanceUntil([&] { return writes(*first) >= 100; }, 30s));
  auto second = plug();
  EXPECT_NE(ctrl().currentDevice(), firstRef);
  EXPECT_EQ(statusText(), "Ready");
  // The first device's reply to the Write in flight still arrives and ends the download.
  ASSERT_TRUE(runToIdle());
  EXPECT_EQ(statusText(), "User canceled");
  EXPECT_EQ(second->commandCount(), 0u);
  const auto firstWrites = writes(*first);
  loop().advance(10s);
  EXPECT_EQ(writes(*first), firstWrites);
  EXPECT_TRUE(nib().downloadButton.isEnabled());
}

TEST_F(MacFixture, ShortReplyCausesNoAction) {
  auto device = plug(withFault(nuv::sim::FaultKind::ShortReport, atAddress(0x0400)));
  launch();
  ASSERT_TRUE(startDownload(validImage()));
  loop().advance(10s);
  EXPECT_EQ(state(), HIDStatusWriting);
  EXPECT_EQ(statusText(), "Writing address: 0x400");
  EXPECT_EQ(writes(*device), 0x0400u / 4 + 1);
  EXPECT_TRUE(app.alerts().empty());
}

TEST_F(MacFixture, DeviceThatNeverAnswersDoesNotHang) {
  auto device = plug(withFault(nuv::sim::FaultKind::NoReply, atAddress(0x0800)));
  launch();
  ASSERT_TRUE(startDownload(validImage()));
  loop().advance(60s);
  EXPECT_EQ(state(), HIDStatusWriting);  // there are no time-outs
  EXPECT_EQ(writes(*device), 0x0800u / 4 + 1);
  // Stop is taken (it only asks; no reply comes to end the download) ...
  ASSERT_TRUE(nib().stopButton.click());
  EXPECT_EQ(state(), HIDStatusStopRequested);
  EXPECT_FALSE(nib().downloadButton.isEnabled());
  // ... and unplugging returns to idle.
  ASSERT_TRUE(bus.unplug(bus.devices().front().path));
  loop().runUntilIdle();
  EXPECT_EQ(state(), HIDStatusIdle);
  EXPECT_EQ(statusText(), "idle");
}

TEST_F(MacFixture, NoLinkReplyLeavesTheDownloadWaiting) {
  auto device = plug(withFault(nuv::sim::FaultKind::NoReply, atCode(kCmdFormat)));
  launch();
  ASSERT_TRUE(startDownload(validImage()));
  loop().advance(30s);
  EXPECT_EQ(state(), HIDStatusFormatting);
  EXPECT_EQ(statusText(), "Initializing...");
  EXPECT_EQ(writes(*device), 0u);
}

TEST_F(MacFixture, LinkReplyWhileResettingChangesNothing) {
  auto device = plug();
  launch();
  nib().statusTextField.setStringValue("before");
  ASSERT_TRUE(startDownload(validImage()));
  loop().runUntilIdle();
  EXPECT_EQ(state(), HIDStatusResetting);
  EXPECT_EQ(statusText(), "before");
  // A Link reply out of nowhere, in the resetting state, too.
  const std::uint8_t link[8] = {kCmdLink, 0, 0, 1, 0, 0xFC, 0, 0};
  ctrl().didReceiveData(link, sizeof link);
  EXPECT_EQ(statusText(), "before");
  EXPECT_EQ(device->commandCount(), 1u);
}

TEST_F(MacFixture, FormatReplyOutsideFormattingOnlyChangesTheText) {
  plug();
  launch();
  const std::uint8_t format[8] = {kCmdFormat, 0, 0, 0, 0, 0, 0, kCmdFormat};
  ctrl().didReceiveData(format, sizeof format);
  EXPECT_EQ(statusText(), "Initialization finshed, waiting for downloading...");
  EXPECT_EQ(state(), HIDStatusIdle);
  loop().advance(10s);
  EXPECT_EQ(state(), HIDStatusIdle);
}

TEST_F(MacFixture, WriteFailureEndsLikeAStop) {
  auto device = plug(withFault(nuv::sim::FaultKind::WriteFailure, atAddress(0x0040)));
  launch();
  ASSERT_TRUE(startDownload(validImage()));
  ASSERT_TRUE(runToIdle(20s));
  EXPECT_EQ(statusText(), "User canceled");
  EXPECT_FALSE(ctrl().holdsImageStream());
  EXPECT_EQ(writes(*device), 0x0040u / 4);
}

// A device that goes and comes back, or a second one that arrives, while a delayed step waits:
// the step never goes to a device the sequence did not start on, and never ends in "Finished".
// An unplug has said "idle" already; a second device gets a status line that says the sequence
// ended, and an alert when the first device was left erased.
struct WaitCase {
  const char* name;
  bool version;         // a version query; otherwise a download
  const char* waitFor;  // the status text that says the wait has begun ("": at once)
  bool replug;          // unplug and plug back; otherwise a second device arrives
  const char* endText;  // the status line at the end
  bool alert;           // the end was told in an alert
};
class MacWaitFixture : public MacFixture, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(MacWaitFixture, DeviceChangeSendsNothingToTheNewDevice) {
  const WaitCase& c = GetParam();
  nuv::sim::DeviceInfo info;
  info.path = "sim:update";
  auto device = plug({}, info);
  launch();
  if (c.version) {
    ASSERT_TRUE(nib().versionButton.click());
  } else {
    ASSERT_TRUE(startDownload(validImage()));
  }
  if (*c.waitFor != '\0') {
    ASSERT_TRUE(loop().advanceUntil([&] { return statusText() == c.waitFor; }, 200s));
  }
  ASSERT_TRUE(app.alerts().empty());
  const auto sentBefore = device->commandCount();
  std::shared_ptr<nuv::sim::UpdateDevice> other;
  if (c.replug) {
    ASSERT_TRUE(bus.unplug("sim:update"));
    loop().runUntilIdle();
    other = plug({}, info);
  } else {
    other = plug({}, nuv::sim::DeviceInfo{"sim:second"});
  }
  loop().advance(10s);
  EXPECT_EQ(other->commandCount(), 0u);
  EXPECT_EQ(device->burnCount(), 0u);
  if (!c.replug) {
    EXPECT_EQ(device->commandCount(), sentBefore);
  }
  EXPECT_EQ(state(), HIDStatusIdle);
  EXPECT_EQ(statusText(), c.endText);
  EXPECT_EQ(app.alerts().size(), c.alert ? 1u : 0u);
  EXPECT_TRUE(nib().downloadButton.isEnabled());
  EXPECT_FALSE(nib().stopButton.isEnabled());
}

constexpr const char* kWaitingToWrite = "Initialization finshed, waiting for downloading...";
INSTANTIATE_TEST_SUITE_P(
    Waits, MacWaitFixture,
    ::testing::Values(
        WaitCase{"QueryReplugged", true, "", true, "Ready", false},
        WaitCase{"QuerySecondDevice", true, "", false, "Version query canceled: the device changed",
                 false},
        WaitCase{"BeforeLinkReplugged", false, "", true, "Ready", false},
        WaitCase{"BeforeLinkSecondDevice", false, "", false,
                 "Download canceled: the device changed", false},
        WaitCase{"BeforeWritingReplugged", false, kWaitingToWrite, true, "Ready", false},
        WaitCase{"BeforeWritingSecondDevice", false, kWaitingToWrite, false,
                 "Download canceled: the device changed after erasing", true},
        WaitCase{"BeforeBurnReplugged", false, "Downloading finished", true, "Ready", false},
        WaitCase{"BeforeBurnSecondDevice", false, "Downloading finished", false,
                 "Burn was not sent: the device changed", true}),
    [](const auto& info) { return std::string(info.param.name); });

// A version query or download that ended during its first 0.5 s wait (Stop, or the device
// unplugged and back) while the next one starts: the earlier one's delayed step sends nothing,
// so the query does not become a Link and Format, nor the download a version query.
struct SupersededCase {
  const char* name;
  bool firstIsVersion;
  bool endByStop;  // otherwise unplugged and plugged back
};
class MacSupersededFixture : public MacFixture,
                             public ::testing::WithParamInterface<SupersededCase> {};

TEST_P(MacSupersededFixture, AnEarlierSequencesStepSendsNothing) {
  const SupersededCase& c = GetParam();
  const nuv::sim::DeviceInfo info{"sim:update"};
  auto device = plug({}, info);
  launch();
  const std::string image = validImage();
  ASSERT_TRUE(c.firstIsVersion ? nib().versionButton.click() : startDownload(image));
  if (c.endByStop) {
    ASSERT_TRUE(nib().stopButton.click());
  } else {
    ASSERT_TRUE(bus.unplug("sim:update"));
    loop().runUntilIdle();
    device = plug({}, info);
  }
  ASSERT_EQ(state(), HIDStatusIdle);
  const auto codesBefore = device->commandCount();
  ASSERT_TRUE(c.firstIsVersion ? startDownload(image) : nib().versionButton.click());
  if (c.firstIsVersion) {
    ASSERT_TRUE(loop().advanceUntil([&] { return statusText() == "Finished"; }, 200s));
    EXPECT_EQ(device->burnCount(), 1u);
    EXPECT_EQ(device->countOf(kCmdLink), codesBefore + 2);  // resetReady's, the download's
  } else {
    ASSERT_TRUE(loop().advanceUntil([&] { return statusText() == "Version: 1.01"; }, 5s));
    EXPECT_EQ(device->formatCount(), 0u);
    EXPECT_EQ(writes(*device), 0u);
  }
  EXPECT_EQ(device->countOf(kCmdVersion), c.firstIsVersion ? 0u : 1u);
  loop().advance(10s);
  EXPECT_EQ(state(), HIDStatusIdle);
  EXPECT_TRUE(app.alerts().empty());
}

INSTANTIATE_TEST_SUITE_P(Sequences, MacSupersededFixture,
                         ::testing::Values(SupersededCase{"QueryStoppedThenDownload", true, true},
                                           SupersededCase{"QueryReplugThenDownload", true, false},
                                           SupersededCase{"DownloadReplugThenQuery", false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A download that died with its Write unanswered (the device went away) leaves no Write in
// flight: the echo of that Write, arriving late during the next download's wait, moves nothing
// on, and the next download writes the whole image.
struct DeadWriteCase {
  const char* name;
  nuv::sim::FaultKind fault;  // at the Write of 0x0800
};
class MacDeadWriteFixture : public MacFixture,
                            public ::testing::WithParamInterface<DeadWriteCase> {};

TEST_P(MacDeadWriteFixture, ALateEchoOfAnEarlierDownloadMovesNothing) {
  const nuv::sim::DeviceInfo info{"sim:update"};
  auto first = plug(withFault(GetParam().fault, atAddress(0x0800)), info);
  launch();
  const std::string image = validImage();
  ASSERT_TRUE(startDownload(image));
  ASSERT_TRUE(loop().advanceUntil([&] { return writes(*first) == 0x0800u / 4 + 1; }, 10s));
  (void)bus.unplug("sim:update");  // gone already after an unplug fault
  // The bus may tell of the unplug from a thread of its own.
  while (ctrl().currentDevice() != nullptr && loop().waitForSignal(std::chrono::seconds(5)))
    loop().runUntilIdle();
  ASSERT_EQ(statusText(), "idle");
  const auto lastWrite = first->commands().back();
  ASSERT_EQ(lastWrite.code(), kCmdWrite);

  auto fresh = plug({}, info);
  ASSERT_TRUE(startDownload(image));
  ASSERT_TRUE(loop().advanceUntil(
      [&] { return statusText() == "Initialization finshed, waiting for downloading..."; }, 5s));
  ctrl().didReceiveData(lastWrite.command(), 8);  // the device echoes a Write whole
  ASSERT_TRUE(loop().advanceUntil([&] { return statusText() == "Finished"; }, 200s));
  EXPECT_TRUE(app.alerts().empty());
  EXPECT_EQ(writes(*fresh), nuv::image::MacImageWalk::kWriteCount);
}

INSTANTIATE_TEST_SUITE_P(
    DeadWrites, MacDeadWriteFixture,
    ::testing::Values(DeadWriteCase{"NoReplyThenUnplugged", nuv::sim::FaultKind::NoReply},
                      DeadWriteCase{"UnpluggedByTheWrite", nuv::sim::FaultKind::Unplug}),
    [](const auto& info) { return std::string(info.param.name); });

// Replies that answer nothing the controller sent: none moves a download on or says "Finished".
TEST_F(MacFixture, RepliesOutOfPlaceAreIgnored) {
  auto device = plug(withFault(nuv::sim::FaultKind::NoReply, atCode(kCmdFormat)));
  launch();
  const std::uint8_t lastWrite[8] = {kCmdWrite, 0xFC, 0xFF, 0, 0, 0, 0, 0};
  const std::uint8_t burn[8] = {kCmdBurn, 0, 0, 0, 0, 0, 0, 0};
  const std::uint8_t version[8] = {kCmdVersion, 0, 0, '9', '.', '9', '9', 0};
  // Idle: nothing happens.
  for (const auto* reply : {lastWrite, burn, version}) ctrl().didReceiveData(reply, 8);
  EXPECT_EQ(statusText(), "Ready");
  // Formatting (the device never answers the Format): still nothing.
  ASSERT_TRUE(startDownload(validImage()));
  loop().advance(5s);
  ASSERT_EQ(state(), HIDStatusFormatting);
  for (const auto* reply : {lastWrite, burn, version}) ctrl().didReceiveData(reply, 8);
  loop().advance(5s);
  EXPECT_EQ(state(), HIDStatusFormatting);
  EXPECT_EQ(statusText(), "Initializing...");
  EXPECT_EQ(device->burnCount(), 0u);
  EXPECT_EQ(writes(*device), 0u);
}

// Version, then Download before the query's delayed step: Download stays off until the reply.
TEST_F(MacFixture, DownloadWaitsForAVersionQueryInFlight) {
  auto device = plug();
  launch();
  ASSERT_TRUE(nib().versionButton.click());
  EXPECT_FALSE(nib().downloadButton.isEnabled());
  EXPECT_FALSE(startDownload(validImage()));
  ASSERT_TRUE(loop().advanceUntil([&] { return statusText() == "Version: 1.01"; }, 5s));
  EXPECT_EQ(state(), HIDStatusIdle);
  EXPECT_TRUE(nib().downloadButton.isEnabled());
  ASSERT_TRUE(startDownload(validImage()));
  ASSERT_TRUE(loop().advanceUntil([&] { return statusText() == "Finished"; }, 200s));
  EXPECT_EQ(device->burnCount(), 1u);
}

// ---- the chosen file ------------------------------------------------------------------------

class MacFileFixture : public MacFixture {
 protected:
  void SetUp() override {
    device = plug();
    launch();
  }
  void expectRefused(const std::string& path, std::string_view why) {
    ASSERT_TRUE(startDownload(path));
    loop().advance(10s);
    ASSERT_EQ(app.alerts().size(), 1u);
    EXPECT_NE(app.alerts().front().informativeText.find(why), std::string::npos)
        << app.alerts().front().informativeText;
    EXPECT_EQ(device->commandCount(), 0u);
    EXPECT_EQ(state(), HIDStatusIdle);
    EXPECT_EQ(statusText(), "Ready");
    EXPECT_FALSE(ctrl().holdsImageStream());
    EXPECT_TRUE(nib().downloadButton.isEnabled());
  }
  std::shared_ptr<nuv::sim::UpdateDevice> device;
};

TEST_F(MacFileFixture, ImageOfWrongSizeIsRefusedBeforeAnythingIsSent) {
  expectRefused(writeFile("mac-short.nuv", std::vector<std::uint8_t>(65535)),
                "it is 65535 bytes long, an update image is 65536 bytes");
}

TEST_F(MacFileFixture, LongerFileIsRefused) {
  expectRefused(writeFile("mac-long.nuv", std::vector<std::uint8_t>(65537)), "65537 bytes");
}

TEST_F(MacFileFixture, MissingFileIsRefused) {
  expectRefused(::testing::TempDir() + "mac-no-such-file.nuv", "cannot be opened");
}

TEST_F(MacFileFixture, DirectoryIsRefused) {
  expectRefused(::testing::TempDir(), "cannot be opened");
}

TEST_F(MacFileFixture, CancelledPanelChangesNothing) {
  app.setOpenPanelResponder([] { return nuv::cocoa::OpenPanelResult{}; });
  ASSERT_TRUE(nib().downloadButton.click());
  app.setOpenPanelResponder([] {
    return nuv::cocoa::OpenPanelResult{nuv::cocoa::kModalResponseCancel, {"/x.nuv"}};
  });
  ASSERT_TRUE(nib().downloadButton.click());
  loop().advance(10s);
  EXPECT_EQ(app.openPanelCount(), 2);
  EXPECT_EQ(device->commandCount(), 0u);
  EXPECT_EQ(state(), HIDStatusIdle);
}

TEST_F(MacFileFixture, ImageRemovedBeforeWritingEndsWithAnError) {
  const std::string path = writeFile("mac-vanishing.nuv", nuv::image::pack(testFirmware(), 0));
  ASSERT_TRUE(startDownload(path));
  loop().advance(1s);
  ASSERT_EQ(state(), HIDStatusWriting);
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_TRUE(runToIdle(10s));
  ASSERT_EQ(app.alerts().size(), 1u);
  EXPECT_NE(app.alerts().front().informativeText.find("cannot be opened"), std::string::npos);
  EXPECT_EQ(statusText(), "Error on reading the update image");
  EXPECT_EQ(writes(*device), 0u);
  EXPECT_TRUE(nib().downloadButton.isEnabled());
}

TEST_F(MacFileFixture, ImageShrinkingDuringTheDownloadEndsWithAnErrorNotZeros) {
  const std::string path = writeFile("mac-shrinking.nuv", nuv::image::pack(testFirmware(), 0));
  device->setLatency({nuv::sim::Latency::Model::Fixed, std::chrono::microseconds(1000)});
  ASSERT_TRUE(startDownload(path));
  ASSERT_TRUE(loop().advanceUntil([&] { return writes(*device) > 0x1000; }, 60s));
  ASSERT_EQ(::truncate(path.c_str(), 0x2000), 0);
  ASSERT_TRUE(runToIdle(200s));
  ASSERT_EQ(app.alerts().size(), 1u);
  EXPECT_NE(app.alerts().front().informativeText.find("ended early at offset"), std::string::npos);
  EXPECT_EQ(statusText().rfind("Error on reading the update image for address: 0x", 0), 0u);
  EXPECT_LT(writes(*device), 16384u);
  EXPECT_EQ(device->burnCount(), 0u);
  EXPECT_FALSE(ctrl().holdsImageStream());
}

}  // namespace
}  // namespace mactest
