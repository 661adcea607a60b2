// The emulated update device behind the uhid report engine, fed arbitrary output reports as a
// host could write them to /dev/uhid (or a USB gadget's node).
//
// Input: byte 0 picks the latency (bits 0-1) and whether faults follow (bit 2); with faults,
// comma-separated fault texts up to the first newline. Then records of
// [length][flags][length bytes]: flags bit 0 means the transport already dropped the report-ID
// byte; bits 1-7 are the milliseconds that pass before the report arrives.
//
// Without faults every reply must be a well-formed answer to its command, in order, and a Read
// must give what the Writes since the last Format left in memory.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "protocol/HIDProto.h"
#include "sim/Faults.h"
#include "sim/UpdateDevice.h"
#include "sim/uhid/ReportEngine.h"

namespace {

using namespace std::chrono_literals;
using nuv::Clock;
using nuv::sim::uhid::ReportEngine;

struct Reply {
  std::array<std::uint8_t, 8> bytes{};
  std::size_t length = 0;
};

// What the device is expected to answer to one command, with the memory as it stands then.
struct Expected {
  std::array<std::uint8_t, 8> command{};
  std::array<std::uint8_t, 4> readBack{};
};

bool answers(std::uint8_t code) {
  return code == kCmdLink || code == kCmdFormat || code == kCmdBurn || code == kCmdRead ||
         code == kCmdWrite || code == kCmdVersion;
}

std::vector<nuv::sim::Fault> faultsFrom(std::string_view& rest) {
  std::vector<nuv::sim::Fault> faults;
  const std::size_t end = rest.find('\n');
  std::string_view texts = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  while (!texts.empty() && faults.size() < 8) {
    const std::size_t comma = texts.find(',');
    const auto parsed = nuv::sim::parseFault(texts.substr(0, comma));
    if (parsed) faults.push_back(parsed.value());
    texts = comma == std::string_view::npos ? std::string_view() : texts.substr(comma + 1);
  }
  return faults;
}

void checkReply(const Reply& reply, const Expected& expected) {
  const auto& cmd = expected.command;
  const auto& r = reply.bytes;
  FUZZ_CHECK(reply.length == kReportSize);
  FUZZ_CHECK(r[0] == cmd[0]);
  FUZZ_CHECK(r[7] == HIDCheckSum(r.data(), kCheckedBytes));
  if (cmd[0] == kCmdWrite) FUZZ_CHECK(std::memcmp(r.data() + 1, cmd.data() + 1, 6) == 0);
  if (cmd[0] == kCmdRead) {
    FUZZ_CHECK(r[1] == cmd[1] && r[2] == cmd[2]);
    FUZZ_CHECK(std::memcmp(r.data() + 3, expected.readBack.data(), 4) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  nuv::sim::UpdateDeviceOptions options;
  switch (data[0] & 3) {
    case 1:
      options.latency = {nuv::sim::Latency::Model::Fixed, 3ms};
      break;
    case 2:
      options.latency = {nuv::sim::Latency::Model::UsbFrame, 0us};
      break;
    default:
      break;
  }
  if (data[0] & 4) options.faults = faultsFrom(rest);
  const bool faulty = !options.faults.empty();

  auto device = std::make_shared<nuv::sim::UpdateDevice>(options);
  ReportEngine engine(device);
  Clock::time_point now = Clock::time_point{} + 1h;
  engine.restartFrameClock(now);

  std::vector<std::uint8_t> memory(nuv::sim::UpdateDevice::kMemorySize, options.initialFill);
  std::deque<Expected> expected;
  std::size_t replies = 0;
  std::size_t commands = 0;
  auto send = [&](const std::uint8_t* bytes, std::size_t length, nuv::Error&) {
    ++replies;
    FUZZ_CHECK(length == kReportSize || (faulty && length == 5));
    // A full queue drops its oldest replies: from then on the order cannot be matched.
    if (!faulty && engine.stats().repliesDropped == 0) {
      FUZZ_CHECK(!expected.empty());
      Reply reply;
      std::memcpy(reply.bytes.data(), bytes, length);
      reply.length = length;
      checkReply(reply, expected.front());
      expected.pop_front();
    }
    return ReportEngine::SendResult::Sent;
  };

  bool unplugged = false;
  while (rest.size() >= 2 && !unplugged) {
    const std::size_t length = static_cast<std::uint8_t>(rest[0]);
    const auto flags = static_cast<std::uint8_t>(rest[1]);
    rest.remove_prefix(2);
    const std::size_t n = length < rest.size() ? length : rest.size();
    // An exact copy: a read past the report's end is caught.
    const std::vector<std::uint8_t> report(rest.begin(), rest.begin() + n);
    rest.remove_prefix(n);
    const bool stripped = flags & 1;
    now += std::chrono::milliseconds(flags >> 1);
    FUZZ_CHECK(!engine.sendDue(now, send));

    std::array<std::uint8_t, 9> frame{};
    const std::size_t frameLength =
        ReportEngine::normaliseOutput(report.data(), report.size(), stripped, frame);
    FUZZ_CHECK(frameLength >= 1 && frameLength <= 9);
    Expected next;
    std::memcpy(next.command.data(), frame.data() + 1, frameLength - 1);
    const std::uint8_t code = next.command[0];
    const std::uint16_t address =
        static_cast<std::uint16_t>(next.command[1] | next.command[2] << 8);
    if (code == kCmdFormat) std::fill(memory.begin(), memory.end(), 0xFF);
    if (code == kCmdWrite)
      for (int i = 0; i < 4; ++i) memory[(address + i) & 0xFFFF] = next.command[3 + i];
    for (int i = 0; i < 4; ++i) next.readBack[i] = memory[(address + i) & 0xFFFF];
    if (answers(code)) expected.push_back(next);
    ++commands;

    unplugged = engine.onOutput(report.data(), report.size(), stripped, now) ==
                ReportEngine::Outcome::Unplug;
    FUZZ_CHECK(!unplugged || faulty);
  }
  // Everything queued falls due.
  now += faulty ? std::chrono::hours(24 * 60) : std::chrono::hours(1);
  FUZZ_CHECK(!engine.sendDue(now, send));
  FUZZ_CHECK(!engine.nextDue().has_value() || faulty);
  FUZZ_CHECK(engine.stats().outputs == commands);
  if (!faulty) {
    // Every command that has an answer got it, unless the queue overflowed.
    FUZZ_CHECK(expected.empty() || engine.stats().repliesDropped > 0);
    FUZZ_CHECK(device->memory() == memory);
  } else {
    FUZZ_CHECK(replies <= 2 * commands);
  }
  return 0;
}
