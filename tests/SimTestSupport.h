// Small helpers for tests that talk to the emulated device as a host would.
#pragma once

#include <array>
#include <chrono>
#include <cstring>

#include "protocol/HIDProto.h"
#include "sim/VirtualBus.h"

namespace simtest {

using Reply = std::array<std::uint8_t, 8>;

// The 9-byte output report a Windows-style host writes: report ID 0, then the command.
inline std::array<std::uint8_t, 9> frame(const std::uint8_t* command) {
  std::array<std::uint8_t, 9> out{};
  std::memcpy(out.data() + 1, command, 8);
  return out;
}

inline std::array<std::uint8_t, 9> writeReport(std::uint16_t address,
                                               std::array<std::uint8_t, 4> data) {
  std::uint8_t cmd[8] = {};
  (void)HostGenerateWriteCommand(cmd, 8, address, data.data());
  return frame(cmd);
}

template <class Builder>
std::array<std::uint8_t, 9> simpleReport(Builder build) {
  std::uint8_t cmd[8] = {};
  (void)build(cmd, 8);
  return frame(cmd);
}

// Writes a report and reads one reply; fails the test on anything else.
inline nuv::IoStatus exchange(nuv::sim::Connection& c, const std::array<std::uint8_t, 9>& report,
                              Reply& reply,
                              std::chrono::milliseconds timeout = std::chrono::milliseconds(0)) {
  const nuv::IoStatus w = c.write(report.data(), report.size());
  if (w != nuv::IoStatus::Ok) return w;
  std::uint8_t in[64];
  std::size_t n = 0;
  const nuv::IoStatus r = c.read(in, sizeof in, &n, timeout);
  if (r == nuv::IoStatus::Ok) std::memcpy(reply.data(), in + 1, 8);
  return r;
}

}  // namespace simtest
