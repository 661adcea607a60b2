// Session records: what is written is read back the same, and what is not a record is refused
// with the line it went wrong on.
#include <gtest/gtest.h>

#include <string>

#include "protocol/SessionRecord.h"

namespace {

using nuv::SessionEventKind;
using namespace std::chrono_literals;

std::string lineOf(SessionEventKind kind, std::chrono::microseconds at,
                   std::vector<std::uint8_t> report, std::string_view error = {}) {
  char buffer[512];
  const std::size_t n = nuv::formatSessionEvent(kind, at, report, error, buffer, sizeof buffer);
  return std::string(buffer, n);
}

TEST(SessionRecord, WhatIsWrittenIsReadBack) {
  const std::string text =
      std::string(nuv::kSessionRecordHeader) + "\n" +
      lineOf(SessionEventKind::Sent, 0us, {0x00, 0x10, 0, 0, 0, 0, 0, 0, 0x10}) + "\n" +
      lineOf(SessionEventKind::Received, 1480us, {0x10, 0, 0, 1, 0, 0xFC, 0, 0xED}) +
      lineOf(SessionEventKind::SendFailed, 2000us, {0x00, 0x18}, "write: \"No\" device") +
      lineOf(SessionEventKind::Gone, 2100us, {});
  auto parsed = nuv::parseSessionRecord(text);
  ASSERT_TRUE(parsed.ok()) << parsed.error().describe();
  const auto& events = parsed.value();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].report, (std::vector<std::uint8_t>{0x00, 0x10, 0, 0, 0, 0, 0, 0, 0x10}));
  EXPECT_EQ(events[1].kind, SessionEventKind::Received);
  EXPECT_EQ(events[1].at, 1480us);
  EXPECT_EQ(events[2].error, "write: \"No\" device");
  EXPECT_EQ(events[3].kind, SessionEventKind::Gone);
  EXPECT_TRUE(events[3].report.empty());
  // A buffer too small for the line gets nothing rather than half a line.
  char tiny[16];
  EXPECT_EQ(
      nuv::formatSessionEvent(SessionEventKind::Sent, 0us, events[0].report, {}, tiny, sizeof tiny),
      0u);
}

TEST(SessionRecord, WhatIsNoRecordIsRefusedWithItsLine) {
  const std::string header = std::string(nuv::kSessionRecordHeader) + "\n";
  const struct {
    std::string text;
    std::string says;
  } cases[] = {
      {"", "empty"},
      {R"({"record":"something else","version":1})", "line 1: not a session record"},
      {R"({"record":"nuv-update-session","version":2})", "line 1: a session record of another"},
      {header + "[1,2]", "line 2: a line must be one JSON object"},
      {header + R"({"t_us":1,"event":"sent","report":"0010"} x)", "line 2: text after"},
      {header + R"({"t_us":1,"event":"sent","report":{"a":1}})", "line 2: a value must be"},
      {header + R"({"t_us":1,"event":"shouted","report":"00"})", "line 2: unknown event"},
      {header + R"({"event":"sent","report":"00"})", "line 2: no time"},
      {header + R"({"t_us":99999999999999999999999,"event":"gone"})", "line 2: a value must be"},
      {header + R"({"t_us":1,"event":"sent","report":"0g"})", "line 2: a report must be hex"},
      {header + R"({"t_us":1,"event":"sent","report":"001"})", "line 2: a report must be whole"},
      {header + R"({"t_us":1,"event":"sent"})", "line 2: no report"},
      {header + R"({"t_us":1,"event":"sent","report":")" + std::string(130, 'a') + "\"}",
       "line 2: a report must be whole bytes, at most 64"},
      {header + "\n" + R"({"t_us":5,"event":"gone"})" + "\n" + R"({"t_us":4,"event":"gone"})",
       "line 4: time goes backwards"},
      {header + R"({"t_us":1,"event":"sent","report":"00\q"})", "line 2: a string is not closed"},
      {header + "{\"t_us\":1,\"event\":\"gone\",\"error\":\"a\tb\"}",
       "line 2: a string is not closed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto parsed = nuv::parseSessionRecord(c.text);
    ASSERT_FALSE(parsed.ok());
    EXPECT_NE(parsed.error().describe().find(c.says), std::string::npos)
        << parsed.error().describe();
  }
}

}  // namespace
