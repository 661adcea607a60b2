// What the wire says about the state a device was left in: a session tap that remembers the
// last command sent and which commands the device carried out, so that a failed run can say
// where it stopped (the step and the address) and what the device holds now (untouched,
// erased, partly written, burnt). It reads only the reports, never what a window shows.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "protocol/SessionRecord.h"

namespace nuv::cli {

// The state a device is left in, as far as the host can know it.
enum class DeviceState {
  Untouched,      // nothing was erased: the old firmware still works
  Erased,         // Format was sent: the device needs a complete download
  PartlyWritten,  // erased, and some Writes were carried out
  Burnt,          // Burn was sent: the device committed what it held
};
[[nodiscard]] const char* deviceStateName(DeviceState state);  // "partly_written", ...

// The step a command belongs to: "link", "version", "erase", "write", "burn", "read", or
// "refresh"; "" for an unknown code.
[[nodiscard]] const char* stepOfCommand(std::uint8_t code);

struct WireSummary {
  std::optional<std::uint8_t> lastCommand;  // the code of the last command sent
  std::uint16_t lastAddress = 0;            // its address
  bool lastAnswered = false;                // a reply with its code came after it
  DeviceState state = DeviceState::Untouched;
  // The four version bytes of the last reply to Version, as the device sent them.
  std::optional<std::array<std::uint8_t, 4>> version;
  bool gone = false;        // the device went away
  bool sendFailed = false;  // a report could not be written
};

// Thread-safe: reader and writer threads report. Passes every event on to `next` (the record)
// when there is one.
class WireWatch final : public nuv::SessionTap {
 public:
  explicit WireWatch(nuv::SessionTap* next = nullptr) : next_(next) {}
  void event(nuv::SessionEventKind kind, std::span<const std::uint8_t> report,
             std::string_view error = {}) override;
  [[nodiscard]] WireSummary summary() const;

 private:
  mutable std::mutex mutex_;
  nuv::SessionTap* next_;
  WireSummary summary_;
};

}  // namespace nuv::cli
