// The host's own cost per Write round trip of QuenlorHID's download: the controller, the
// headless backend, the protocol code and the image walk, against a device that answers at
// once (loopback), and against the emulated device on the virtual bus without latency. The
// virtual clock skips the 5.5 s of waits. Allocations per Write are counted.
#include <benchmark/benchmark.h>

#include "testsupport/AllocationCounter.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>

#include "mac/AppDelegate.h"
#include "platform/cocoa/Headless.h"
#include "platform/iohid/Sim.h"
#include "protocol/HIDProto.h"
#include "protocol/Log.h"
#include "sim/VirtualBus.h"
#include "tests/mac_images.h"
#include "tests/mac_loopback.h"

namespace {

using namespace std::chrono_literals;

struct QuietLog final : nuv::LogSink {
  void write(std::string_view) override {}
};

// One launched program; download() runs one whole download and returns the Writes it sent.
class Program {
 public:
  // `app` outlives the program; an emulated bus can read its run loop's clock before launch.
  Program(nuv::cocoa::HeadlessApplication& app, nuv::mac::IOHIDManagerFactory factory)
      : scope_(log_), app_(app), delegate_(app_, std::move(factory)) {
    image_ = mactest::writeFileIn(std::filesystem::temp_directory_path().string(), "mac-bench.nuv",
                                  nuv::image::pack(mactest::testFirmware(), 0));
    delegate_.applicationDidFinishLaunching();
    app_.runLoop().runUntilIdle();
    const std::string image = image_;
    app_.setOpenPanelResponder([image] {
      return nuv::cocoa::OpenPanelResult{nuv::cocoa::kModalResponseOK, {image}};
    });
  }
  nuv::cocoa::HeadlessApplication& app() { return app_; }
  bool download() {
    if (!app_.nib()->downloadButton.click()) return false;
    auto& ctrl = *delegate_.viewController();
    app_.runLoop().advance(4600ms);  // to the first Write
    return app_.runLoop().advanceUntil(
        [&] { return ctrl.currentStatus() == nuv::mac::HIDStatusIdle; }, 10s);
  }

 private:
  QuietLog log_;
  nuv::ScopedLogSink scope_;
  nuv::cocoa::HeadlessApplication& app_;
  nuv::mac::AppDelegate delegate_;
  std::string image_;
};

void report(benchmark::State& state, std::uint64_t writes, std::uint64_t allocs) {
  state.SetItemsProcessed(static_cast<std::int64_t>(writes));
  state.counters["allocs_per_write"] =
      benchmark::Counter(writes ? double(allocs) / double(writes) : 0.0);
}

void BM_MacWriteRoundTripLoopback(benchmark::State& state) {
  mactest::LoopbackHIDManager* loopback = nullptr;
  nuv::cocoa::HeadlessApplication app;
  Program program(app, [&] {
    auto m = std::make_unique<mactest::LoopbackHIDManager>();
    loopback = m.get();
    return m;
  });
  std::uint64_t writes = 0, allocs = 0;
  for (auto _ : state) {
    const auto beforeWrites = loopback->writes();
    const auto beforeAllocs = nuv::test::allocationCount();
    if (!program.download()) state.SkipWithError("download did not finish");
    allocs += nuv::test::allocationCount() - beforeAllocs;
    writes += loopback->writes() - beforeWrites;
  }
  report(state, writes, allocs);
}
BENCHMARK(BM_MacWriteRoundTripLoopback)->Unit(benchmark::kMillisecond);

void BM_MacWriteRoundTripEmulatedDevice(benchmark::State& state) {
  nuv::cocoa::HeadlessApplication app;
  nuv::sim::VirtualBus bus(app.runLoop().clock());
  Program program(app, [&] { return nuv::iohid::createSimHIDManager(bus); });
  std::uint64_t writes = 0, allocs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (const auto& d : bus.devices()) (void)bus.unplug(d.path);
    auto device = bus.plug();
    program.app().runLoop().runUntilIdle();
    state.ResumeTiming();
    const auto beforeAllocs = nuv::test::allocationCount();
    if (!program.download()) state.SkipWithError("download did not finish");
    allocs += nuv::test::allocationCount() - beforeAllocs;
    writes += device->countOf(kCmdWrite);
  }
  report(state, writes, allocs);
}
BENCHMARK(BM_MacWriteRoundTripEmulatedDevice)->Unit(benchmark::kMillisecond);

}  // namespace
BENCHMARK_MAIN();
