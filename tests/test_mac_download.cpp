// The download and version state machine against the emulated device.
#include "tests/mac_fixture.h"

namespace mactest {
namespace {

using namespace nuv::mac;

std::vector<std::uint8_t> codes(const nuv::sim::UpdateDevice& d) {
  std::vector<std::uint8_t> out;
  for (const auto& c : d.commands()) out.push_back(c.code());
  return out;
}

std::uint16_t writeAddress(const nuv::sim::CommandRecord& c) {
  return static_cast<std::uint16_t>(c.command()[1] | (c.command()[2] << 8));
}

TEST_F(MacFixture, FullDownloadWritesTheImageAndBurns) {
  auto device = plug();
  launch();
  const std::vector<std::uint8_t> firmware = testFirmware();
  ASSERT_TRUE(startDownload(validImage()));

  // Link sent at once; its reply is swallowed while resetting.
  EXPECT_EQ(state(), HIDStatusResetting);
  EXPECT_FALSE(nib().downloadButton.isEnabled());
  EXPECT_FALSE(nib().versionButton.isEnabled());
  EXPECT_TRUE(nib().stopButton.isEnabled());
  loop().runUntilIdle();
  EXPECT_EQ(statusText(), "Ready");
  EXPECT_EQ(device->commandCount(), 1u);

  // 0.5 s: Link, its reply, Format, its reply; then 4 s of waiting in the writing state.
  loop().advance(500ms);
  EXPECT_EQ(state(), HIDStatusWriting);
  EXPECT_EQ(statusText(), "Initialization finshed, waiting for downloading...");
  EXPECT_TRUE(nib().progressIndicator.isHidden());
  EXPECT_EQ(writes(*device), 0u);
  loop().advance(3999ms);
  EXPECT_EQ(writes(*device), 0u);

  // Every Write is answered before the next; with no latency the loop runs to the end.
  loop().advance(1ms);
  EXPECT_EQ(writes(*device), 16384u);
  EXPECT_EQ(state(), HIDStatusBurning);
  EXPECT_EQ(statusText(), "Downloading finished");
  EXPECT_FALSE(nib().progressIndicator.isHidden());
  EXPECT_EQ(percentage().stringValue(), "99%");
  EXPECT_FALSE(ctrl().holdsImageStream());
  EXPECT_EQ(device->burnCount(), 0u);

  loop().advance(1s);
  EXPECT_EQ(state(), HIDStatusIdle);
  EXPECT_EQ(statusText(), "Finished");
  EXPECT_TRUE(nib().progressIndicator.isHidden());
  EXPECT_FALSE(nib().progressIndicator.isAnimating());
  EXPECT_TRUE(nib().downloadButton.isEnabled());
  EXPECT_FALSE(nib().stopButton.isEnabled());

  EXPECT_EQ(device->burnCount(), 1u);
  EXPECT_EQ(device->repliesOverlapped(), 0u);
  const std::vector<std::uint8_t> memory = device->burnt();
  ASSERT_EQ(memory.size(), 0x10000u);
  EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), memory.begin()));
  EXPECT_TRUE(std::all_of(memory.begin() + 0xFC00, memory.end(), [](auto b) { return b == 0; }));

  const auto sent = codes(*device);
  ASSERT_EQ(sent.size(), 3u + 16384u + 1u);
  EXPECT_EQ(sent[0], kCmdLink);
  EXPECT_EQ(sent[1], kCmdLink);
  EXPECT_EQ(sent[2], kCmdFormat);
  EXPECT_EQ(sent.back(), kCmdBurn);
  const auto commands = device->commands();
  for (std::uint32_t i = 0; i < 16384; ++i)
    ASSERT_EQ(writeAddress(commands[3 + i]), i * 4) << "write " << i;

  // Texts in order, and the percentages: 0 first, 99 last, never 100.
  const auto& texts = statusHistory();
  auto at = [&](std::string_view t) { return std::find(texts.begin(), texts.end(), t); };
  EXPECT_LT(at("Initializing..."), at("Initialization finshed, waiting for downloading..."));
  EXPECT_LT(at("Initialization finshed, waiting for downloading..."), at("Downloading..."));
  EXPECT_LT(at("Downloading..."), at("Writing address: 0x4"));
  EXPECT_LT(at("Writing address: 0xfffc"), at("Downloading finished"));
  EXPECT_LT(at("Downloading finished"), at("Complete Writing..."));
  EXPECT_LT(at("Complete Writing..."), at("Finished"));
  const auto& percents = percentage().history();
  ASSERT_EQ(percents.size(), 16384u);
  EXPECT_EQ(percents.front(), "0%");
  EXPECT_EQ(percents.back(), "99%");
  EXPECT_EQ(std::count(percents.begin(), percents.end(), "100%"), 0);
  EXPECT_TRUE(log.has("Seek to 0x1050"));
  // Before every target 0x1040, 0x1080 .. 0xFFC0: the walk goes by the offset alone.
  EXPECT_EQ(log.count("Skip 1 byte"), (0xFFC0 - 0x1040) / 64 + 1);
}

TEST_F(MacFixture, WritesFromTheGapOnTakeTheRecordBytes) {
  auto device = plug();
  launch();
  std::vector<std::uint8_t> image = nuv::image::pack(testFirmware(), 0xEE);
  const std::string path = writeFile("mac-walk.nuv", image);
  ASSERT_TRUE(startDownload(path));
  ASSERT_TRUE(runToIdle());
  const auto commands = device->commands();
  auto dataOf = [&](std::uint16_t address) {
    const auto& c = commands[3 + address / 4];
    EXPECT_EQ(writeAddress(c), address);
    return std::vector<std::uint8_t>(c.command() + 3, c.command() + 7);
  };
  auto fileAt = [&](std::size_t offset) {
    return std::vector<std::uint8_t>(image.begin() + offset, image.begin() + offset + 4);
  };
  EXPECT_EQ(dataOf(0x0FFC), fileAt(0x0FFC));
  EXPECT_EQ(dataOf(0x1000), fileAt(0x1050));
  EXPECT_EQ(dataOf(0x103C), fileAt(0x108C));
  EXPECT_EQ(dataOf(0x1040), fileAt(0x1091));
  EXPECT_EQ(dataOf(0xFBFC), fileAt(0xFFFB));
  EXPECT_EQ(dataOf(0xFC00), (std::vector<std::uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(dataOf(0xFFFC), (std::vector<std::uint8_t>{0, 0, 0, 0}));
}

TEST_F(MacFixture, VersionQuery) {
  auto device = plug();
  launch();
  ASSERT_TRUE(nib().versionButton.click());
  EXPECT_EQ(state(), HIDStatusResetting);
  loop().runUntilIdle();
  // The Link reply in the resetting state changes nothing, not even the text.
  EXPECT_EQ(statusText(), "Ready");
  EXPECT_EQ(state(), HIDStatusResetting);
  // Download and Version stay off until the reply (a download would interleave with the query).
  EXPECT_FALSE(nib().downloadButton.isEnabled());
  EXPECT_FALSE(nib().versionButton.isEnabled());
  loop().advance(500ms);
  EXPECT_EQ(statusText(), "Version: 1.01");
  EXPECT_EQ(state(), HIDStatusIdle);
  EXPECT_TRUE(nib().downloadButton.isEnabled());
  EXPECT_EQ(codes(*device), (std::vector<std::uint8_t>{kCmdLink, kCmdVersion}));
  EXPECT_TRUE(log.has("resetReady"));
}

TEST_F(MacFixture, SlowDeviceLinkReplyDuringVersionQueryOnlyShowsInitializing) {
  nuv::sim::UpdateDeviceOptions slow;
  slow.latency = {nuv::sim::Latency::Model::Fixed, std::chrono::microseconds(700000)};
  auto device = plug(slow);
  launch();
  ASSERT_TRUE(nib().versionButton.click());
  loop().advance(600ms);  // Version sent at 0.5 s; the Link reply is still on its way
  EXPECT_EQ(state(), HIDStatusQueryingVersion);
  loop().advance(100ms);  // the Link reply arrives while querying
  EXPECT_EQ(statusText(), "Initializing...");
  EXPECT_EQ(state(), HIDStatusQueryingVersion);
  loop().advance(600ms);
  EXPECT_EQ(statusText(), "Version: 1.01");
  EXPECT_EQ(state(), HIDStatusIdle);
}

TEST_F(MacFixture, VersionBytesThatAreNotUtf8OrStopAtZero) {
  nuv::sim::UpdateDeviceOptions odd;
  odd.version = std::string(
      "\xFF"
      "1.0",
      4);
  auto device = plug(odd);
  launch();
  ASSERT_TRUE(nib().versionButton.click());
  loop().advance(1s);
  EXPECT_EQ(statusText(),
            "Version: \xEF\xBF\xBD"
            "1.0");

  device->setVersion(
      std::string("2\0"
                  "99",
                  4));
  ASSERT_TRUE(nib().versionButton.click());
  loop().advance(1s);
  EXPECT_EQ(statusText(), "Version: 2");
}

// Stop ends a version query whose reply has not come, so that the buttons it turned off come
// back without unplugging the device: while resetting, while waiting for a reply that never
// comes, and after a second device arrived during that wait.
struct QueryStopCase {
  const char* name;
  std::chrono::milliseconds before;  // from the Version click to Stop
  bool noReply;                      // the device never answers the Version command
  bool secondDevice;                 // a second device arrives before Stop
  std::uint32_t versionsSent;
};
class MacQueryStopFixture : public MacFixture,
                            public ::testing::WithParamInterface<QueryStopCase> {};

TEST_P(MacQueryStopFixture, StopEndsTheQuery) {
  const QueryStopCase& c = GetParam();
  nuv::sim::UpdateDeviceOptions options;
  if (c.noReply)
    options.faults.push_back(
        {nuv::sim::FaultKind::NoReply, {nuv::sim::Trigger::Kind::AtCode, kCmdVersion}});
  auto device = plug(options);
  launch();
  ASSERT_TRUE(nib().versionButton.click());
  loop().runUntilIdle();  // the Link reply, ignored while resetting
  loop().advance(c.before);
  if (c.secondDevice) (void)plug();
  ASSERT_NE(state(), HIDStatusIdle);
  ASSERT_TRUE(nib().stopButton.click());
  for (int settled = 0; settled < 2; ++settled) {  // at once, and after any late step
    EXPECT_EQ(state(), HIDStatusIdle);
    EXPECT_EQ(statusText(), "User canceled");
    EXPECT_TRUE(nib().downloadButton.isEnabled());
    EXPECT_TRUE(nib().versionButton.isEnabled());
    EXPECT_FALSE(nib().stopButton.isEnabled());
    loop().advance(10s);
  }
  EXPECT_EQ(device->countOf(kCmdVersion), c.versionsSent);
}

INSTANTIATE_TEST_SUITE_P(Queries, MacQueryStopFixture,
                         ::testing::Values(QueryStopCase{"WhileResetting", 0ms, false, false, 0},
                                           QueryStopCase{"ReplyNeverComes", 1s, true, false, 1},
                                           QueryStopCase{"ReplyNeverComesSecondDevice", 1s, true,
                                                         true, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MacFixture, SlowDeviceDownloadCompletes) {
  nuv::sim::UpdateDeviceOptions slow;
  slow.latency = {nuv::sim::Latency::Model::Fixed, std::chrono::microseconds(3000)};
  auto device = plug(slow);
  launch();
  ASSERT_TRUE(startDownload(validImage()));
  ASSERT_TRUE(loop().advanceUntil([&] { return statusText() == "Finished"; }, 200s));
  EXPECT_EQ(writes(*device), 16384u);
  EXPECT_EQ(device->repliesOverlapped(), 0u);
  EXPECT_EQ(device->burnCount(), 1u);
}

class MacStopFixture : public MacFixture {
 protected:
  // A device slow enough that the test can act between Writes.
  void SetUp() override {
    nuv::sim::UpdateDeviceOptions slow;
    slow.latency = {nuv::sim::Latency::Model::Fixed, std::chrono::microseconds(1000)};
    device = plug(slow);
    launch();
    ASSERT_TRUE(startDownload(validImage()));
  }
  std::shared_ptr<nuv::sim::UpdateDevice> device;
};

TEST_F(MacStopFixture, StopWhileWritingEndsAtTheNextWriteStep) {
  ASSERT_TRUE(loop().advanceUntil([&] { return writes(*device) >= 50; }, 30s));
  ASSERT_TRUE(nib().stopButton.click());
  EXPECT_EQ(state(), HIDStatusStopRequested);
  EXPECT_TRUE(nib().progressIndicator.isHidden());
  const auto sentBefore = writes(*device);
  ASSERT_TRUE(runToIdle());
  EXPECT_EQ(statusText(), "User canceled");
  EXPECT_EQ(writes(*device), sentBefore);  // the reply to the last Write ended it
  EXPECT_FALSE(ctrl().holdsImageStream());
  EXPECT_TRUE(nib().downloadButton.isEnabled());
  EXPECT_TRUE(nib().versionButton.isEnabled());
  EXPECT_FALSE(nib().stopButton.isEnabled());
  EXPECT_TRUE(nib().progressIndicator.isHidden());
  loop().advance(10s);
  EXPECT_EQ(device->burnCount(), 0u);
}

TEST_F(MacStopFixture, StopDuringTheWaitBeforeWritingSendsNoWrite) {
  loop().advance(1s);
  ASSERT_EQ(state(), HIDStatusWriting);
  ASSERT_TRUE(nib().stopButton.click());
  EXPECT_EQ(state(), HIDStatusStopRequested);
  loop().advance(5s);
  EXPECT_EQ(state(), HIDStatusIdle);
  EXPECT_EQ(statusText(), "User canceled");
  EXPECT_EQ(writes(*device), 0u);
  EXPECT_FALSE(ctrl().holdsImageStream());
  EXPECT_TRUE(nib().downloadButton.isEnabled());
}

TEST_F(MacStopFixture, StopInOtherStatesDoesNothing) {
  ASSERT_EQ(state(), HIDStatusResetting);
  ASSERT_TRUE(nib().stopButton.isEnabled());
  ASSERT_TRUE(nib().stopButton.click());
  EXPECT_EQ(state(), HIDStatusResetting);
  ASSERT_TRUE(loop().advanceUntil([&] { return statusText() == "Finished"; }, 200s));
  EXPECT_EQ(writes(*device), 16384u);
}

TEST_F(MacStopFixture, LastWriteReplyBurnsEvenIfStopWasJustPressed) {
  ASSERT_TRUE(loop().advanceUntil([&] { return writes(*device) == 16384; }, 200s));
  ASSERT_TRUE(nib().stopButton.click());
  EXPECT_EQ(state(), HIDStatusStopRequested);
  ASSERT_TRUE(loop().advanceUntil([&] { return statusText() == "Finished"; }, 5s));
  EXPECT_EQ(device->burnCount(), 1u);
}

TEST_F(MacFixture, EchoOfAnotherAddressEndsTheDownloadWithoutBurn) {
  nuv::sim::UpdateDeviceOptions odd;
  odd.faults.push_back(
      {nuv::sim::FaultKind::WrongAddress, {nuv::sim::Trigger::Kind::AtAddress, 0x0100}});
  auto device = plug(odd);
  launch();
  ASSERT_TRUE(startDownload(validImage()));
  ASSERT_TRUE(runToIdle());
  ASSERT_EQ(app.alerts().size(), 1u);
  EXPECT_EQ(app.alerts().front().informativeText,
            "Error on writing address: 0x100. Writing operation will be canceled");
  EXPECT_EQ(statusText(), "Error on writing address: 0x100");
  EXPECT_EQ(writes(*device), 0x0100u / 4 + 1);
  EXPECT_EQ(device->burnCount(), 0u);
}

}  // namespace
}  // namespace mactest
