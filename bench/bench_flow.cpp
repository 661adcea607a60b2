// The update engine's own cost: a whole download fed to the engine in this process by a device
// that answers at once (it echoes each command, and reports version "1.01"), so that nothing
// but the engine is measured. Goals: under 2 us of CPU per exchange, and no allocation after
// start() (allocations counted by the replaced operator new of nuv_alloc_counter).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "flow/EchoFlow.h"
#include "flow/StrictFlow.h"
#include "protocol/HIDProto.h"
#include "protocol/UpdateImage.h"
#include "testsupport/AllocationCounter.h"
#include "testsupport/SampleImage.h"

namespace {

// The reply of a device that carries out every command at once.
std::array<std::uint8_t, 8> replyTo(const std::array<std::uint8_t, 8>& command) {
  std::array<std::uint8_t, 8> reply = command;
  if (command[0] == kCmdVersion) std::memcpy(reply.data() + 3, "1.01", 4);
  return reply;
}

struct Run {
  std::uint64_t exchanges = 0;
  std::uint64_t allocationsAfterStart = 0;
  bool completed = false;
};

// Drives one download to its end: every report sent is answered at once, every wake comes at
// once (the clock jumps to it).
Run download(nuv::flow::Engine& engine, std::span<const std::uint8_t> image) {
  Run run;
  nuv::flow::TimePoint now{};
  engine.start(image, now);
  const std::uint64_t before = nuv::test::allocationCount();
  std::array<std::uint8_t, 8> pending{};
  bool replyDue = false;
  constexpr auto kNoWake = nuv::flow::TimePoint::max();
  nuv::flow::TimePoint wake = kNoWake;
  while (!engine.finished()) {
    while (auto action = engine.nextAction()) {
      if (const auto* send = std::get_if<nuv::flow::SendReport>(&*action)) {
        pending = replyTo(send->bytes);
        replyDue = true;
        ++run.exchanges;
      } else if (const auto* w = std::get_if<nuv::flow::WakeAt>(&*action)) {
        wake = std::min(wake, w->at);
      }
    }
    if (replyDue) {
      // A reply comes before any wake: the earliest one waits (a time-out it ends does nothing).
      replyDue = false;
      engine.reportArrived(pending, now);
    } else if (wake != kNoWake) {
      now = wake;
      wake = kNoWake;
      engine.timeReached(now);
    } else {
      break;
    }
  }
  run.allocationsAfterStart = nuv::test::allocationCount() - before;
  run.completed = engine.outcome() && engine.outcome()->succeeded();
  return run;
}

template <class MakeEngine>
void benchDownload(benchmark::State& state, MakeEngine make) {
  const auto image = nuv::test::benchmarkImage();
  std::uint64_t exchanges = 0, allocations = 0;
  for (auto _ : state) {
    auto engine = make();
    const Run run = download(*engine, image);
    if (!run.completed) {
      state.SkipWithError("the download did not complete");
      break;
    }
    exchanges += run.exchanges;
    allocations += run.allocationsAfterStart;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(exchanges));
  state.counters["exchanges"] =
      benchmark::Counter(static_cast<double>(exchanges), benchmark::Counter::kAvgIterations);
  state.counters["cpu_per_exchange"] = benchmark::Counter(
      static_cast<double>(exchanges), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["allocs_per_exchange"] = benchmark::Counter(
      exchanges == 0 ? 0.0 : static_cast<double>(allocations) / static_cast<double>(exchanges));
}

void BM_StrictDownloadEngine(benchmark::State& state) {
  benchDownload(state, [] {
    return std::make_unique<nuv::flow::StrictFlow>(nuv::flow::StrictFlow::Task::Download);
  });
}
BENCHMARK(BM_StrictDownloadEngine)->Unit(benchmark::kMillisecond);

void BM_EchoDownloadEngine(benchmark::State& state) {
  benchDownload(state, [] {
    return std::make_unique<nuv::flow::EchoFlow>(nuv::flow::EchoFlow::Task::Download,
                                                 std::chrono::seconds(10));
  });
}
BENCHMARK(BM_EchoDownloadEngine)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
