// The emulated bus reading Vornex's manual clock (the forms seam's), so that reply latency and
// time-outs lie on one time line that only the test moves. Header-only; for tests, fuzz targets
// and benchmarks.
#pragma once

#include "Forms.h"
#include "VirtualBus.h"

namespace nuv::test {

class ManualBusClock final : public sim::TimeSource {
 public:
  explicit ManualBusClock(const forms::ManualClock& clock) : clock_(clock) {}
  [[nodiscard]] sim::Clock::time_point now() const override { return clock_.now(); }

 private:
  const forms::ManualClock& clock_;
};

}  // namespace nuv::test
