// Replies of the emulated device waiting for their moment to be sent, in the order the device
// made them. A reply never overtakes an earlier one: a late reply holds back those after it,
// as a device that answers one command at a time would, and as the emulated bus does.
//
// Fixed capacity, no allocation. Not thread-safe: owned by the server's thread.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "protocol/Clock.h"

namespace nuv::sim::uhid {

struct PendingReply {
  std::array<std::uint8_t, 8> bytes{};
  std::uint8_t length = 8;
  nuv::Clock::time_point due{};
  std::uint64_t sequence = 0;  // the device's reply sequence number, for replyConsumed
};

class ReplyQueue {
 public:
  static constexpr std::size_t kCapacity = 64;

  // Queues a reply, due no earlier than the one queued before it. When the queue is full the
  // oldest reply is dropped (a host that stopped reading loses the oldest reports, as hidraw's
  // own queue does) and true is returned.
  bool push(PendingReply reply);
  // The moment the first reply is due, if one is queued.
  [[nodiscard]] std::optional<nuv::Clock::time_point> nextDue() const;
  // Takes the first reply when it is due at `now`.
  [[nodiscard]] bool popDue(nuv::Clock::time_point now, PendingReply& out);
  // The first reply when it is due at `now`, left in the queue; null otherwise.
  [[nodiscard]] const PendingReply* peekDue(nuv::Clock::time_point now) const;
  // Drops the first reply (after peekDue found it).
  void popFront();
  [[nodiscard]] std::size_t size() const { return count_; }
  void clear() { count_ = 0; }

 private:
  std::array<PendingReply, kCapacity> ring_{};
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  nuv::Clock::time_point lastDue_{};
};

}  // namespace nuv::sim::uhid
