// The bytes on the wire: builders, check byte and the reply parser.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "protocol/HIDProto.h"
#include "protocol/Log.h"

namespace {

using Report = std::array<std::uint8_t, 8>;

struct CapturedLog : nuv::LogSink {
  std::vector<std::string> lines;
  void write(std::string_view line) override { lines.emplace_back(line); }
};

template <class Builder>
Report build(Builder builder) {
  Report r;
  r.fill(0xAA);
  EXPECT_EQ(builder(r.data(), 8), 0);
  return r;
}

TEST(CommandReports, FixedCommandsHaveTheirExactBytes) {
  EXPECT_EQ(build(HostGenerateLinkCommand), (Report{0x10, 0, 0, 0, 0, 0, 0, 0x10}));
  EXPECT_EQ(build(HostGenerateFormatCommand), (Report{0x11, 0, 0, 0, 0, 0, 0, 0x11}));
  EXPECT_EQ(build(HostGenerateBurnCommand),
            (Report{0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x12}));
  EXPECT_EQ(build(HostGenerateVersionCommand), (Report{0x1C, 0, 0, 0, 0, 0, 0, 0x1C}));
}

TEST(CommandReports, AddressedCommandsPutTheAddressLittleEndian) {
  Report r{};
  const std::uint8_t data[4] = {1, 2, 3, 4};
  ASSERT_EQ(HostGenerateWriteCommand(r.data(), 8, 0x1234, data), 0);
  EXPECT_EQ(r, (Report{0x18, 0x34, 0x12, 1, 2, 3, 4, 0x3A}));

  const std::uint8_t zeros[4] = {0, 0, 0, 0};
  ASSERT_EQ(HostGenerateWriteCommand(r.data(), 8, 0xFBFC, zeros), 0);
  EXPECT_EQ(r, (Report{0x18, 0xFC, 0xFB, 0, 0, 0, 0, 0x1F}));

  r.fill(0xEE);
  ASSERT_EQ(HostGenerateReadCommand(r.data(), 8, 0x1000), 0);
  EXPECT_EQ(r, (Report{0x14, 0x00, 0x10, 0, 0, 0, 0, 0x04}));
}

TEST(CommandReports, EveryBuiltReportXorsToZero) {
  std::uint8_t data[4] = {};
  for (std::uint32_t address = 0; address < 0x10000; address += 0x0F3D) {
    for (auto& d : data) d = static_cast<std::uint8_t>(d * 7 + address + 1);
    Report r{};
    ASSERT_EQ(HostGenerateWriteCommand(r.data(), 8, static_cast<std::uint16_t>(address), data), 0);
    EXPECT_EQ(HIDCheckSum(r.data(), 8), 0) << "address " << address;
    ASSERT_EQ(HostGenerateReadCommand(r.data(), 8, static_cast<std::uint16_t>(address)), 0);
    EXPECT_EQ(HIDCheckSum(r.data(), 8), 0);
  }
}

TEST(CommandReports, ShortOrMissingBuffersAreRefusedUntouched) {
  std::array<std::uint8_t, 7> shortBuf;
  shortBuf.fill(0x77);
  const std::uint8_t data[4] = {1, 2, 3, 4};
  EXPECT_EQ(HostGenerateLinkCommand(shortBuf.data(), 7), -1);
  EXPECT_EQ(HostGenerateVersionCommand(shortBuf.data(), 7), -1);
  EXPECT_EQ(HostGenerateFormatCommand(shortBuf.data(), 7), -1);
  EXPECT_EQ(HostGenerateBurnCommand(shortBuf.data(), 7), -1);
  EXPECT_EQ(HostGenerateReadCommand(shortBuf.data(), 7, 0x10), -1);
  EXPECT_EQ(HostGenerateWriteCommand(shortBuf.data(), 7, 0x10, data), -1);
  for (auto b : shortBuf) EXPECT_EQ(b, 0x77);

  EXPECT_EQ(HostGenerateLinkCommand(nullptr, 8), -1);
  EXPECT_EQ(HostGenerateWriteCommand(nullptr, 8, 0, data), -1);
}

TEST(CommandReports, LongBuffersAreFilledExceptByWrite) {
  std::array<std::uint8_t, 16> buf;
  buf.fill(0x55);
  ASSERT_EQ(HostGenerateLinkCommand(buf.data(), 16), 0);
  for (int i = 8; i < 16; ++i) EXPECT_EQ(buf[i], 0x00);

  buf.fill(0x55);
  ASSERT_EQ(HostGenerateBurnCommand(buf.data(), 16), 0);
  for (int i = 8; i < 16; ++i) EXPECT_EQ(buf[i], 0xFF);

  buf.fill(0x55);
  const std::uint8_t data[4] = {9, 8, 7, 6};
  ASSERT_EQ(HostGenerateWriteCommand(buf.data(), 16, 0x0004, data), 0);
  for (int i = 8; i < 16; ++i) EXPECT_EQ(buf[i], 0x55);
}

TEST(CheckByte, XorsTheRangeAndIsZeroForNothing) {
  const std::uint8_t bytes[] = {0x12, 0x34, 0x56};
  EXPECT_EQ(HIDCheckSum(bytes, 0), 0);
  EXPECT_EQ(HIDCheckSum(nullptr, 3), 0);
  EXPECT_EQ(HIDCheckSum(bytes, 1), 0x12);
  EXPECT_EQ(HIDCheckSum(bytes, 3), 0x12 ^ 0x34 ^ 0x56);
}

TEST(ReplyParser, ReadsEachReplyKindIntoItsFields) {
  ParsedReport p{};
  const std::uint8_t link[8] = {0x10, 1, 2, 3, 4, 5, 6, 0x99};
  ASSERT_EQ(HIDReportParse(link, 8, &p), 0);
  EXPECT_EQ(p.id, 0x10);
  EXPECT_EQ(p.linkValue1, 0x010203u);
  EXPECT_EQ(p.linkValue2, 0x040506u);

  p = {};
  const std::uint8_t write[8] = {0x18, 0xFC, 0xFF, 0x11, 0x22, 0x33, 0x44, 0};
  ASSERT_EQ(HIDReportParse(write, 8, &p), 0);
  EXPECT_EQ(p.address, 0xFFFC);
  EXPECT_EQ((std::array<std::uint8_t, 4>{p.data[0], p.data[1], p.data[2], p.data[3]}),
            (std::array<std::uint8_t, 4>{0x11, 0x22, 0x33, 0x44}));

  p = {};
  const std::uint8_t version[8] = {0x1C, 0, 0, '1', '.', '0', '1', 0};
  ASSERT_EQ(HIDReportParse(version, 8, &p), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.data), 4), "1.01");
  EXPECT_EQ(p.address, 0) << "a Version reply fills only its data";

  p = {};
  const std::uint8_t burn[8] = {0x12, 0xFF, 0xFF, 1, 2, 3, 4, 0};
  ASSERT_EQ(HIDReportParse(burn, 8, &p), 0);
  EXPECT_EQ(p.statusBytes[0], 0xFF);
  EXPECT_EQ(p.statusBytes[5], 4);
  EXPECT_EQ(p.linkValue1, 0u);
}

TEST(ReplyParser, RefusesShortReportsAndLeavesTheRecord) {
  ParsedReport p{};
  p.id = 0x42;
  p.address = 0x1234;
  const std::uint8_t seven[7] = {0x18, 1, 2, 3, 4, 5, 6};
  EXPECT_EQ(HIDReportParse(seven, 7, &p), -1);
  EXPECT_EQ(p.id, 0x42);
  EXPECT_EQ(p.address, 0x1234);
  EXPECT_EQ(HIDReportParse(nullptr, 8, &p), -1);
  EXPECT_EQ(p.id, 0x42);
}

TEST(ReplyParser, LogsUnknownCodesInLowerCaseHexAndStillSucceeds) {
  CapturedLog log;
  nuv::ScopedLogSink capture(log);
  ParsedReport p{};
  const std::uint8_t unknown[8] = {0x13, 0, 0, 0, 0, 0, 0, 0x13};
  EXPECT_EQ(HIDReportParse(unknown, 8, &p), 0);
  EXPECT_EQ(p.id, 0x13);
  const std::uint8_t high[8] = {0xAB, 1, 2, 3, 4, 5, 6, 7};
  EXPECT_EQ(HIDReportParse(high, 8, &p), 0);
  const std::uint8_t low[8] = {0x05, 1, 2, 3, 4, 5, 6, 7};
  EXPECT_EQ(HIDReportParse(low, 8, &p), 0);
  EXPECT_EQ(p.linkValue1, 0u);
  EXPECT_EQ(log.lines,
            (std::vector<std::string>{"Unknown ID: 0x13", "Unknown ID: 0xab", "Unknown ID: 0x5"}));
}

TEST(ReplyParser, IgnoresBytesPastEight) {
  ParsedReport p{};
  const std::uint8_t longer[12] = {0x14, 0x00, 0x10, 0xA, 0xB, 0xC, 0xD, 0, 0xEE, 0xEE, 0xEE, 0xEE};
  ASSERT_EQ(HIDReportParse(longer, 12, &p), 0);
  EXPECT_EQ(p.address, 0x1000);
  EXPECT_EQ(p.data[3], 0xD);
}

TEST(CommandCodesTable, HoldsTheWindowsOrder) {
  const std::uint32_t expected[6] = {0xFF, 0x10, 0x11, 0x12, 0x18, 0x1C};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(CommandCodes[i], expected[i]);
  EXPECT_EQ(CommandCodes[kIdxWrite] & 0xFF, kCmdWrite);
}

}  // namespace
