// A plain stop-and-wait link to one update device, for the commands that are the terminal's
// own (list, verify): neither window reads the device back, so these do not go through the
// windows' flows. Reports are framed as Framing.h says.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "protocol/Error.h"
#include "protocol/IoStatus.h"
#include "sim/VirtualBus.h"

#ifdef __linux__
#include "platform/hidraw/Seams.h"
#endif

namespace nuv::cli {

class ReportLink {
 public:
  virtual ~ReportLink() = default;
  // Sends one command and waits up to `timeout` for the next input report; its first 8 payload
  // bytes go to reply. Ok, TimedOut (no reply in time), Gone or Failed; Failed and Gone fill
  // *error. Nothing cancels an exchange, so never Cancelled.
  [[nodiscard]] virtual nuv::IoStatus exchange(const std::uint8_t command[8], std::uint8_t reply[8],
                                               std::chrono::milliseconds timeout,
                                               nuv::Error* error) = 0;
};

// A connection to a device of the virtual bus; null when the path is not there.
[[nodiscard]] std::unique_ptr<ReportLink> openSimLink(sim::VirtualBus& bus,
                                                      const std::string& path);

#ifdef __linux__
// The hidraw node at `path`, opened for reading and writing, or why not.
// `sys`: where the node is opened, read and written (the record's tap, say).
[[nodiscard]] std::unique_ptr<ReportLink> openHidrawLink(
    const std::string& path, nuv::Error& why,
    nuv::hidraw::SystemCalls& sys = nuv::hidraw::realSystemCalls());
#endif

}  // namespace nuv::cli
