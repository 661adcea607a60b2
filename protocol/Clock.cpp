#include "protocol/Clock.h"

namespace nuv {
namespace {

class RealClock final : public Clock {
 public:
  [[nodiscard]] time_point now() const override { return std::chrono::steady_clock::now(); }
};

}  // namespace

const Clock& realClock() {
  static const RealClock clock;
  return clock;
}

void ManualClock::advance(std::chrono::nanoseconds by) {
  now_.fetch_add(std::chrono::duration_cast<duration>(by).count(), std::memory_order_acq_rel);
  std::function<void()> listener;
  {
    std::lock_guard lock(listenerMutex_);
    listener = listener_;
  }
  if (listener) listener();
}

void ManualClock::setListener(std::function<void()> listener) {
  std::lock_guard lock(listenerMutex_);
  listener_ = std::move(listener);
}

}  // namespace nuv
