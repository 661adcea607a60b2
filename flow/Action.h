// What an engine asks of its caller, one action at a time (Engine::nextAction). Plain values of
// fixed size: making, queueing and reading one allocates nothing.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <string_view>
#include <variant>

#include "flow/Outcome.h"

namespace nuv::flow {

using TimePoint = std::chrono::steady_clock::time_point;

// Send these 8 bytes to the device as one output report (report ID 0 in front, where the
// transport wants one). Then either wait for the device's reply or, when the transport says
// the report could not be sent, call sendFailed().
struct SendReport {
  std::array<std::uint8_t, 8> bytes{};
};

// Call timeReached() once the clock reads `at` or later. A later WakeAt does not cancel an
// earlier one: a wake the engine no longer needs does nothing.
struct WakeAt {
  TimePoint at;
};

// The download or read-back moved on: `address` is the next one in hand, `done` the bytes
// acknowledged so far out of `total`.
struct Progress {
  std::uint16_t address = 0;
  std::uint32_t done = 0;
  std::uint32_t total = 0;
};

struct StepBegan {
  Step step = Step::Image;
};

// A line for the user or the log: the flow's status texts, as the windows show them, or
// (statusLine() false) a diagnostic that the window writes to its log rather than its status
// line ("resetReady").
class LogLine {
 public:
  static constexpr std::size_t kCapacity = 80;
  LogLine() = default;
  explicit LogLine(std::string_view text, bool statusLine = true) : statusLine_(statusLine) {
    size_ = static_cast<std::uint8_t>(std::min(text.size(), kCapacity));
    std::copy_n(text.data(), size_, text_.data());
  }
  [[nodiscard]] std::string_view text() const { return {text_.data(), size_}; }
  [[nodiscard]] bool statusLine() const { return statusLine_; }

 private:
  std::array<char, kCapacity> text_{};
  std::uint8_t size_ = 0;
  bool statusLine_ = true;
};

// The last action of a flow: after it the engine takes no more events.
struct Finished {
  Outcome outcome;
};

using Action = std::variant<SendReport, WakeAt, Progress, StepBegan, LogLine, Finished>;

// A fixed ring of actions, oldest first. One event queues at most kMaxPerEvent actions; a
// caller that drains the queue after every event never fills it. Pushing onto a full queue
// drops the action and marks the queue overflowed (a caller's bug, never the device's).
class ActionQueue {
 public:
  static constexpr std::size_t kMaxPerEvent = 6;
  static constexpr std::size_t kCapacity = 16;

  void push(const Action& action) {
    if (count_ == kCapacity) {
      overflowed_ = true;
      return;
    }
    ring_[(head_ + count_) % kCapacity] = action;
    ++count_;
  }
  [[nodiscard]] bool pop(Action& out) {
    if (count_ == 0) return false;
    out = ring_[head_];
    head_ = (head_ + 1) % kCapacity;
    --count_;
    return true;
  }
  void clear() { head_ = count_ = 0; }
  [[nodiscard]] std::size_t size() const { return count_; }
  [[nodiscard]] bool overflowed() const { return overflowed_; }

 private:
  std::array<Action, kCapacity> ring_{};
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  bool overflowed_ = false;
};

}  // namespace nuv::flow
