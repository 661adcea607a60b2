// The emulated update device between a transport (uhid, or a USB gadget's /dev/hidgN) and
// UpdateDevice: it turns each output report into the frame the device expects, applies the
// device's latency to its replies and keeps them queued until they are due.
//
// Framing: Framing.h. The kernel's USB HID driver drops the leading kReportId before the bytes
// go on the wire; uhid hands over all of them. For uhid the engine applies the USB driver's rule
// itself (see normaliseOutput) so that the device sees what a real one would.
//
// Not thread-safe: one thread drives the engine. The device object may be inspected from any
// thread (it has its own lock). Nothing is allocated per report.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "protocol/Error.h"
#include "protocol/Framing.h"
#include "sim/UpdateDevice.h"
#include "sim/uhid/ReplyQueue.h"

namespace nuv::sim::uhid {

struct ServerStats {
  std::uint32_t outputs = 0;         // output reports received
  std::uint32_t repliesSent = 0;     // input reports sent
  std::uint32_t repliesDropped = 0;  // dropped because the queue was full or nobody listened
  std::uint32_t commandsLost = 0;    // write-failure faults: the device ignored the command
  std::uint32_t otherEvents = 0;     // feature requests refused and events of no interest
};

class ReportEngine {
 public:
  explicit ReportEngine(std::shared_ptr<UpdateDevice> device);

  // The device's USB frames (UsbFrame latency) count from here.
  void restartFrameClock(nuv::Clock::time_point at) { epoch_ = at; }

  enum class Outcome { Handled, Unplug };
  // One output report as the transport delivered it. `alreadyStripped`: the transport has
  // dropped the report-ID byte (USB gadget), so a leading 0x00 is a command byte.
  [[nodiscard]] Outcome onOutput(const std::uint8_t* data, std::size_t size, bool alreadyStripped,
                                 nuv::Clock::time_point now);

  enum class SendResult {
    Sent,
    TryLater,  // the transport cannot take it now (a USB gadget's previous report is in flight)
    Dropped,   // nobody can receive it (the host side is gone); the reply is lost
    Failed,    // the transport failed; the error says why
  };
  // Sends every reply due at `now`, in order, through
  // `SendResult send(const std::uint8_t* bytes, std::size_t length, nuv::Error& error)`.
  // Stops at the first TryLater (*blocked is then set) and returns the error of a Failed.
  template <class Send>
  [[nodiscard]] std::optional<nuv::Error> sendDue(nuv::Clock::time_point now, Send&& send,
                                                  bool* sentAny = nullptr,
                                                  bool* blocked = nullptr) {
    while (const PendingReply* reply = queue_.peekDue(now)) {
      nuv::Error error;
      switch (send(reply->bytes.data(), static_cast<std::size_t>(reply->length), error)) {
        case SendResult::Sent:
          // The host's read cannot be seen from here: a reply counts as consumed once sent.
          device_->replyConsumed(reply->sequence);
          ++stats_.repliesSent;
          if (sentAny) *sentAny = true;
          break;
        case SendResult::TryLater:
          if (blocked) *blocked = true;
          return std::nullopt;
        case SendResult::Dropped:
          ++stats_.repliesDropped;
          break;
        case SendResult::Failed:
          return error;
      }
      queue_.popFront();
    }
    return std::nullopt;
  }

  [[nodiscard]] std::optional<nuv::Clock::time_point> nextDue() const { return queue_.nextDue(); }
  void dropPending() { queue_.clear(); }

  [[nodiscard]] ServerStats& stats() { return stats_; }
  [[nodiscard]] const ServerStats& stats() const { return stats_; }
  [[nodiscard]] const std::shared_ptr<UpdateDevice>& device() const { return device_; }

  // Turns an output report as the host wrote it into the framed report UpdateDevice::receive
  // expects (kReportId, then up to 8 command bytes). Unless `alreadyStripped`, a leading
  // kReportId is the report-ID byte and is dropped, as the kernel's USB HID driver does.
  // Returns the frame's length (1 + the command bytes, at most kFramedReportSize).
  [[nodiscard]] static std::size_t normaliseOutput(
      const std::uint8_t* data, std::size_t size, bool alreadyStripped,
      std::array<std::uint8_t, nuv::kFramedReportSize>& frame);

 private:
  std::shared_ptr<UpdateDevice> device_;
  ReplyQueue queue_;
  std::array<std::uint8_t, nuv::kFramedReportSize> frame_{};
  nuv::Clock::time_point epoch_ = nuv::realClock().now();
  ServerStats stats_;
};

}  // namespace nuv::sim::uhid
