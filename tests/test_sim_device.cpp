// The emulated update device: its replies, its memory and every fault it can commit.
#include <gtest/gtest.h>

#include "tests/SimTestSupport.h"

namespace {

using nuv::IoStatus;
using simtest::exchange;
using simtest::Reply;

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = bus_.plug();
    connection_ = bus_.open(bus_.devices().at(0).path);
  }
  Reply ask(const std::array<std::uint8_t, 9>& report) {
    Reply reply{};
    EXPECT_EQ(exchange(*connection_, report, reply), IoStatus::Ok);
    return reply;
  }
  nuv::sim::VirtualBus bus_;
  std::shared_ptr<nuv::sim::UpdateDevice> device_;
  std::shared_ptr<nuv::sim::Connection> connection_;
};

TEST_F(DeviceTest, EchoesCodeAndAddressBytesInEveryReply) {
  const Reply link = ask(simtest::simpleReport(HostGenerateLinkCommand));
  EXPECT_EQ(link[0], 0x10);
  EXPECT_EQ(link[1], 0x00);
  EXPECT_EQ(link[2], 0x00);
  ParsedReport p{};
  ASSERT_EQ(HIDReportParse(link.data(), 8, &p), 0);
  EXPECT_EQ(p.linkValue1, 0x000001u);
  EXPECT_EQ(p.linkValue2, 0x00FC00u);

  EXPECT_EQ(ask(simtest::simpleReport(HostGenerateFormatCommand)),
            (Reply{0x11, 0, 0, 0, 0, 0, 0, 0x11}));
  EXPECT_EQ(ask(simtest::simpleReport(HostGenerateVersionCommand)),
            (Reply{0x1C, 0, 0, '1', '.', '0', '1', 0x1C ^ '1' ^ '.' ^ '0' ^ '1'}));
  EXPECT_EQ(ask(simtest::writeReport(0x1234, {1, 2, 3, 4})),
            (Reply{0x18, 0x34, 0x12, 1, 2, 3, 4, 0x3A}));
  const Reply burn = ask(simtest::simpleReport(HostGenerateBurnCommand));
  EXPECT_EQ(burn[0], 0x12);
  EXPECT_EQ(burn[1], 0xFF);
  EXPECT_EQ(burn[2], 0xFF);
}

TEST_F(DeviceTest, FormatErasesWriteFillsReadReturnsAndBurnCommits) {
  EXPECT_EQ(device_->memory()[0x10], 0x5A) << "old firmware before the first Format";
  ask(simtest::simpleReport(HostGenerateFormatCommand));
  EXPECT_EQ(device_->memory()[0x10], 0xFF);
  ask(simtest::writeReport(0xFFFE, {0xA1, 0xA2, 0xA3, 0xA4}));
  const auto memory = device_->memory();
  EXPECT_EQ(memory[0xFFFE], 0xA1);
  EXPECT_EQ(memory[0xFFFF], 0xA2);
  EXPECT_EQ(memory[0x0000], 0xA3) << "the address space wraps at 16 bits";
  EXPECT_EQ(device_->burnCount(), 0u);
  EXPECT_EQ(device_->burnt()[0xFFFE], 0x5A);

  std::uint8_t read[8];
  ASSERT_EQ(HostGenerateReadCommand(read, 8, 0xFFFC), 0);
  EXPECT_EQ(ask(simtest::frame(read)),
            (Reply{0x14, 0xFC, 0xFF, 0xFF, 0xFF, 0xA1, 0xA2,
                   static_cast<std::uint8_t>(0x14 ^ 0xFC ^ 0xFF ^ 0xFF ^ 0xFF ^ 0xA1 ^ 0xA2)}));
  ask(simtest::simpleReport(HostGenerateBurnCommand));
  EXPECT_EQ(device_->burnCount(), 1u);
  EXPECT_EQ(device_->burnt()[0xFFFE], 0xA1);
  EXPECT_EQ(device_->formatCount(), 1u);
  EXPECT_EQ(device_->countOf(kCmdWrite), 1u);
}

TEST_F(DeviceTest, StaysSilentForRefreshAndUnknownCommandsAndRecordsThem) {
  std::array<std::uint8_t, 9> refresh{0x00, 0xFF, 0x00};
  ASSERT_EQ(connection_->write(refresh.data(), refresh.size()), IoStatus::Ok);
  std::uint8_t in[16];
  std::size_t n = 0;
  EXPECT_EQ(connection_->read(in, sizeof in, &n, std::chrono::milliseconds(0)), IoStatus::TimedOut);
  ASSERT_EQ(device_->commandCount(), 1u);
  EXPECT_EQ(device_->commands()[0].code(), 0xFF);
  EXPECT_EQ(device_->commands()[0].rawLength, 9);
}

TEST_F(DeviceTest, ReportsAnotherVersionWhenTold) {
  device_->setVersion("2.0");
  EXPECT_EQ(ask(simtest::simpleReport(HostGenerateVersionCommand)),
            (Reply{0x1C, 0, 0, '2', '.', '0', 0, 0x1C ^ '2' ^ '.' ^ '0'}));
}

TEST_F(DeviceTest, NoticesAHostThatDoesNotWaitForTheReply) {
  const auto w = simtest::writeReport(0, {1, 2, 3, 4});
  ASSERT_EQ(connection_->write(w.data(), w.size()), IoStatus::Ok);
  ASSERT_EQ(connection_->write(w.data(), w.size()), IoStatus::Ok);
  EXPECT_EQ(device_->repliesOverlapped(), 1u);
  ask(w);  // reads the first queued reply: the second and third are still unread
  EXPECT_EQ(device_->repliesOverlapped(), 2u);
}

// ---- faults -------------------------------------------------------------------------------

struct FaultCase {
  const char* text;
  IoStatus writeStatus;
  IoStatus readStatus;
  Reply expected;  // when the read is Ok
};

class FaultTest : public DeviceTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTest, FiresAtItsTriggerOnce) {
  const FaultCase& c = GetParam();
  auto parsed = nuv::sim::parseFault(c.text);
  ASSERT_TRUE(parsed.ok()) << parsed.error().text;
  device_->addFault(parsed.value());

  ask(simtest::writeReport(0x0FFC, {9, 9, 9, 9}));  // before the trigger: normal
  const auto report = simtest::writeReport(0x1000, {1, 2, 3, 4});
  ASSERT_EQ(connection_->write(report.data(), report.size()), c.writeStatus);
  if (c.writeStatus == IoStatus::Ok) {
    std::uint8_t in[64];
    std::size_t n = 0;
    ASSERT_EQ(connection_->read(in, sizeof in, &n, std::chrono::milliseconds(0)), c.readStatus);
    if (c.readStatus == IoStatus::Ok) {
      Reply got{};
      std::memcpy(got.data(), in + 1, std::min<std::size_t>(8, n - 1));
      if (std::string(c.text).starts_with("short")) {
        EXPECT_EQ(n, 6u);
      } else {
        EXPECT_EQ(n, 9u);
        EXPECT_EQ(got, c.expected);
      }
    }
  }
  if (c.readStatus == IoStatus::Gone) return;
  // Once spent, the same command is answered normally again.
  std::uint8_t drain[64];
  std::size_t n = 0;
  while (connection_->read(drain, sizeof drain, &n, std::chrono::milliseconds(0)) == IoStatus::Ok) {
  }
  Reply again{};
  EXPECT_EQ(exchange(*connection_, report, again), IoStatus::Ok);
  EXPECT_EQ(again, (Reply{0x18, 0x00, 0x10, 1, 2, 3, 4, 0x18 ^ 0x10 ^ 1 ^ 2 ^ 3 ^ 4}));
}

constexpr std::uint8_t kGoodCheck = 0x18 ^ 0x10 ^ 1 ^ 2 ^ 3 ^ 4;
INSTANTIATE_TEST_SUITE_P(
    AtAddress0x1000, FaultTest,
    ::testing::Values(FaultCase{"no-reply@0x1000", IoStatus::Ok, IoStatus::TimedOut, {}},
                      FaultCase{"code-zero@0x1000",
                                IoStatus::Ok,
                                IoStatus::Ok,
                                {0x00, 0x00, 0x10, 1, 2, 3, 4, kGoodCheck}},
                      FaultCase{"wrong-code@0x1000",
                                IoStatus::Ok,
                                IoStatus::Ok,
                                {0x98, 0x00, 0x10, 1, 2, 3, 4, kGoodCheck}},
                      FaultCase{"wrong-address@0x1000",
                                IoStatus::Ok,
                                IoStatus::Ok,
                                {0x18, 0x04, 0x10, 1, 2, 3, 4, kGoodCheck}},
                      FaultCase{"wrong-data@0x1000",
                                IoStatus::Ok,
                                IoStatus::Ok,
                                {0x18, 0x00, 0x10, 0xFE, 0xFD, 0xFC, 0xFB, kGoodCheck}},
                      FaultCase{"short-report@0x1000", IoStatus::Ok, IoStatus::Ok, {}},
                      FaultCase{"write-failure@0x1000", IoStatus::Failed, IoStatus::Ok, {}},
                      FaultCase{"unplug@0x1000", IoStatus::Ok, IoStatus::Gone, {}}));

TEST_F(DeviceTest, DuplicateAndLateRepliesArriveAsTold) {
  nuv::sim::Fault duplicate = nuv::sim::parseFault("duplicate@#2").value();
  device_->addFault(duplicate);
  ask(simtest::simpleReport(HostGenerateLinkCommand));
  ask(simtest::simpleReport(HostGenerateVersionCommand));
  Reply extra{};
  std::uint8_t in[16];
  std::size_t n = 0;
  ASSERT_EQ(connection_->read(in, sizeof in, &n, std::chrono::milliseconds(0)), IoStatus::Ok);
  std::memcpy(extra.data(), in + 1, 8);
  EXPECT_EQ(extra[0], 0x1C);

  device_->addFault(nuv::sim::parseFault("late:30@format").value());
  const auto format = simtest::simpleReport(HostGenerateFormatCommand);
  ASSERT_EQ(connection_->write(format.data(), format.size()), IoStatus::Ok);
  EXPECT_EQ(connection_->read(in, sizeof in, &n, std::chrono::milliseconds(0)), IoStatus::TimedOut);
  ASSERT_TRUE(connection_->nextReportAt());
  EXPECT_EQ(connection_->read(in, sizeof in, &n, std::chrono::seconds(10)), IoStatus::Ok);
  EXPECT_EQ(in[1], 0x11);
}

TEST_F(DeviceTest, RepeatedFaultsFireAtEveryMatch) {
  device_->addFault(nuv::sim::parseFault("code-zero@write+").value());
  for (std::uint16_t a = 0; a < 12; a += 4)
    EXPECT_EQ(ask(simtest::writeReport(a, {1, 1, 1, 1}))[0], 0);
  EXPECT_EQ(ask(simtest::simpleReport(HostGenerateLinkCommand))[0], 0x10);
}

TEST(FaultText, ParsesEveryFormAndExplainsMistakes) {
  auto f = nuv::sim::parseFault("late:4500@#7+").value();
  EXPECT_EQ(f.kind, nuv::sim::FaultKind::LateReply);
  EXPECT_EQ(f.delay, std::chrono::milliseconds(4500));
  EXPECT_EQ(f.when.kind, nuv::sim::Trigger::Kind::AtCommand);
  EXPECT_EQ(f.when.value, 7u);
  EXPECT_TRUE(f.repeat);
  f = nuv::sim::parseFault("unplug@version").value();
  EXPECT_EQ(f.when.kind, nuv::sim::Trigger::Kind::AtCode);
  EXPECT_EQ(f.when.value, 0x1Cu);
  f = nuv::sim::parseFault("wrong-data@4096").value();
  EXPECT_EQ(f.when.value, 0x1000u);
  for (const char* bad : {"no-reply", "nonsense@#1", "late@#1", "unplug:3@#1", "no-reply@#0",
                          "no-reply@0x10000", "no-reply@somewhere"}) {
    auto r = nuv::sim::parseFault(bad);
    ASSERT_FALSE(r.ok()) << bad;
    EXPECT_FALSE(r.error().text.empty());
  }
  for (auto kind :
       {nuv::sim::FaultKind::NoReply, nuv::sim::FaultKind::Unplug, nuv::sim::FaultKind::LateReply})
    EXPECT_NE(nuv::sim::faultName(kind), "?");
}

}  // namespace
