// The emulated device playing back a recorded session: it answers each report the host sends
// as the recorded device answered the same report, with the recorded delay, and notes where the
// host departs from the record (another report, or one more than the record has). There the
// device unplugs itself: the record says nothing of what comes next, and a host without
// time-outs would otherwise wait for ever.
//
// Thread-safe: answer() runs under the device's lock; the verdict may be read from any thread.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "protocol/SessionRecord.h"
#include "sim/UpdateDevice.h"

namespace nuv::sim {

class SessionReplay final : public ScriptedDevice {
 public:
  // `events` as parseSessionRecord gives them. Received reports are replayed as payloads of a
  // device without report IDs; of several replies to one report, the first is replayed, twice
  // when the second was the same (a duplicate). A device that went after a report is unplugged
  // at that report instead of answering it.
  explicit SessionReplay(std::vector<nuv::SessionEvent> events);

  [[nodiscard]] DeviceResponse answer(const std::uint8_t* raw, std::size_t len) override;

  // Where the host departed from the record, in words; nothing while it follows it.
  [[nodiscard]] std::optional<std::string> departure() const;
  // Reports the host sent as the record has them, and the reports the record has.
  [[nodiscard]] std::size_t reportsFollowed() const;
  [[nodiscard]] std::size_t reportsRecorded() const { return exchanges_.size(); }

 private:
  struct Exchange {
    std::vector<std::uint8_t> sent;
    bool sendFailed = false;
    std::vector<std::vector<std::uint8_t>> replies;
    std::chrono::microseconds delay{0};  // from the report to its first reply
    bool goneAfter = false;
  };

  mutable std::mutex mutex_;
  std::vector<Exchange> exchanges_;
  std::size_t next_ = 0;
  std::optional<std::string> departure_;
};

}  // namespace nuv::sim
