// The read-back as an engine (see Engine.h): Read commands over the firmware's addresses
// 0x0000..0xFBFF, and with `withTail` also 0xFC00..0xFFFF, which the echo download fills with
// zeros; every byte read is compared with the image's. The image must be 65,536 bytes
// (image_refused, size, otherwise).
//
// Each Read's reply must come within `replyTimeout` (timeout) and echo the Read's code and
// address in its first 3 bytes, with its 4 data bytes after them (data_error otherwise).
// A difference does not stop the read-back: it ends with verify_mismatch, the first address
// that differs and how many bytes do, or with completed when none does.
#pragma once

#include <chrono>

#include "flow/Engine.h"
#include "protocol/UpdateImage.h"

namespace nuv::flow {

class VerifyFlow final : public Engine {
 public:
  static constexpr std::chrono::milliseconds kDefaultReplyTimeout{4200};

  explicit VerifyFlow(bool withTail,
                      std::chrono::steady_clock::duration replyTimeout = kDefaultReplyTimeout)
      : end_(withTail ? image::kAddressSpace : image::kFirmwareSize), replyTimeout_(replyTimeout) {}

 private:
  void onStart(TimePoint now) override;
  void onReport(std::span<const std::uint8_t> report, TimePoint now) override;
  void onTime(TimePoint now) override;
  void onSendFailed(TimePoint now) override;
  [[nodiscard]] std::optional<TimePoint> pendingWake() const override {
    return awaiting_ ? std::optional<TimePoint>(deadline_) : std::nullopt;
  }

  void sendRead(TimePoint now);

  std::uint32_t end_;
  std::chrono::steady_clock::duration replyTimeout_;
  std::uint32_t address_ = 0;
  bool awaiting_ = false;
  TimePoint deadline_{};
  std::uint32_t mismatches_ = 0;
  std::optional<std::uint16_t> firstMismatch_;
};

}  // namespace nuv::flow
