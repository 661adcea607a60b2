// One update device as a runner sees it: a command goes out, input reports come in. The
// contract of every transport a flow runs over (the emulated device's bus, a hidraw node);
// framing (the report-ID byte, a device's output length) is the link's business, so that a
// runner hands over and gets back the 8 bytes of the protocol only.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

#include "protocol/Error.h"
#include "protocol/IoStatus.h"

namespace nuv::run {

using Report = std::array<std::uint8_t, 8>;

class DeviceLink {
 public:
  virtual ~DeviceLink() = default;

  // Writes one command. Ok; Gone when the device went away; Failed when the write was
  // refused (`error` says why). Never waits for a reply.
  [[nodiscard]] virtual nuv::IoStatus send(const Report& command, nuv::Error& error) = 0;

  // Waits up to `timeout` (zero: only looks) for the next input report and gives its first 8
  // bytes after any report ID, zeros for what a short report lacks. Ok, TimedOut, Gone, or
  // Failed (`error` says why).
  [[nodiscard]] virtual nuv::IoStatus receive(Report& reply, std::chrono::milliseconds timeout,
                                              nuv::Error& error) = 0;
};

}  // namespace nuv::run
