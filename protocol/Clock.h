// The one clock of the system: what the timers of both windows, the run loops and the emulated
// bus read as now. Real time (realClock), or a clock that a test moves by hand (ManualClock), so
// that a flow's time-outs and delays, and the emulated device's reply latency, lie on one time
// line that only the test moves. Every clock's time points are steady_clock's, so a time point
// of one is a time point of any other.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>

namespace nuv {

class Clock {
 public:
  using duration = std::chrono::steady_clock::duration;
  using time_point = std::chrono::steady_clock::time_point;
  virtual ~Clock() = default;
  // Any thread.
  [[nodiscard]] virtual time_point now() const = 0;
};

// std::chrono::steady_clock.
[[nodiscard]] const Clock& realClock();

// Stands still until advanced. Any thread may read or advance it. Whoever must notice a move
// (a window's timers, a bus's blocked readers) is told through the listener.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(time_point start = time_point{} + std::chrono::hours(1))
      : now_(start.time_since_epoch().count()) {}

  [[nodiscard]] time_point now() const override {
    return time_point(duration(now_.load(std::memory_order_acquire)));
  }
  // Moves the clock on by `by`, then calls the listener.
  void advance(std::chrono::nanoseconds by);
  // Called after every advance, on the advancing thread, with no lock held.
  void setListener(std::function<void()> listener);

 private:
  std::atomic<duration::rep> now_;
  std::mutex listenerMutex_;
  std::function<void()> listener_;
};

}  // namespace nuv
