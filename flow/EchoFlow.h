// QuenlorHID's flows as an engine (see Engine.h): the version query and the download, with
// the window's waits and its echo check. The engine sends the window's reports in the
// window's order.
//
// Download: the image's size check (the only one; the version text is not looked at), a Link
// that resets the device, 0.5 s, Link, erase, 4 s, the 16,384 Writes of 0x0000..0xFFFC (the
// image's firmware, then zeros from 0xFC00), 1 s, Burn. Version query: Link, 0.5 s, Version.
//
// Replies: a report shorter than 8 bytes, one with a code that is not awaited now, and a
// Write's reply while no Write is in flight are ignored, as the window ignores them (the
// reply to the resetting Link among them). A Write's reply must echo the address and the
// four data bytes of the Write in flight; any difference ends the flow with echo_mismatch at
// that address. A duplicate reply is therefore taken as the reply to the next Write.
//
// No time-outs, by design: a reply that never comes is waited for as long as the stall limit
// allows. With a limit, a wait for a reply that lasts that long ends the flow with `stalled`;
// with none (0), it lasts for ever, as in the window. The engine's own waits never stall.
//
// Reports that could not be sent: a Write's ends the flow with write_failed (the window
// ends it as cancelled); the window takes no notice of the others, and neither does the
// engine: the resetting Link is followed by the next Link anyway, and for the rest only the
// stall limit ends the wait.
//
// Departure from the window: cancel() ends the flow at once in every step; the window acts on
// Stop only in its write phase, when the next Write would go out.
#pragma once

#include <chrono>

#include "flow/Engine.h"
#include "protocol/UpdateImage.h"

namespace nuv::flow {

class EchoFlow final : public Engine {
 public:
  enum class Task { Version, Download };
  static constexpr std::chrono::milliseconds kResetDelay{500};
  static constexpr std::chrono::milliseconds kWaitBeforeWriting{4000};
  static constexpr std::chrono::milliseconds kWaitBeforeBurn{1000};
  static constexpr std::uint16_t kLastAddress = image::MacImageWalk::kLastAddress;
  static constexpr std::uint32_t kTotalBytes = image::kAddressSpace;

  // `stallLimit`: how long a reply may be awaited; zero waits for ever.
  explicit EchoFlow(Task task,
                    std::chrono::steady_clock::duration stallLimit = std::chrono::seconds(0))
      : task_(task), stallLimit_(stallLimit) {}

 private:
  enum class Phase {
    Resetting,        // the resetting Link sent; the 0.5 s wait
    Linking,          // Link sent, its reply awaited
    QueryingVersion,  // Version sent
    Formatting,       // Format sent
    WaitingToWrite,   // the 4 s wait
    Writing,          // a Write in flight
    WaitingToBurn,    // the 1 s wait
    Burning,          // Burn sent
  };

  void onStart(TimePoint now) override;
  void onReport(std::span<const std::uint8_t> report, TimePoint now) override;
  void onTime(TimePoint now) override;
  void onSendFailed(TimePoint now) override;
  [[nodiscard]] std::optional<TimePoint> pendingWake() const override {
    if (phase_ == Phase::Resetting || phase_ == Phase::WaitingToWrite ||
        phase_ == Phase::WaitingToBurn)
      return due_;
    return stallDeadline_;
  }

  // Sends `report` and waits for its reply, within the stall limit.
  void sendAwaiting(Phase phase, const Report& report, TimePoint now);
  void waitUntil(Phase phase, TimePoint due);
  void sendWrite(std::uint16_t address, TimePoint now);
  void writeReplied(std::span<const std::uint8_t> reply, TimePoint now);

  Task task_;
  std::chrono::steady_clock::duration stallLimit_;
  Phase phase_ = Phase::Resetting;
  TimePoint due_{};                         // the end of the engine's own wait
  std::optional<TimePoint> stallDeadline_;  // while a reply is awaited, with a limit
  Report sent_{};
  bool writeInFlight_ = false;
};

}  // namespace nuv::flow
