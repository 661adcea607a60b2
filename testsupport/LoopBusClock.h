// The emulated bus reading QuenlorHID's headless run loop's virtual clock (from any thread), so
// that reply latency and delayed steps lie on one time line that only the test moves.
// Header-only; for tests, fuzz targets and benchmarks.
#pragma once

#include "VirtualBus.h"
#include "cocoa/Headless.h"

namespace nuv::test {

class LoopBusClock final : public sim::TimeSource {
 public:
  explicit LoopBusClock(const nuv::cocoa::HeadlessRunLoop& loop) : loop_(loop) {}
  [[nodiscard]] sim::Clock::time_point now() const override { return loop_.now(); }

 private:
  const nuv::cocoa::HeadlessRunLoop& loop_;
};

}  // namespace nuv::test
