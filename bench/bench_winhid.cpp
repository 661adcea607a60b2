// Cost of the HID layer on the sim backend: one report written and its reply delivered through
// the reader thread to the GUI thread (with the allocations that takes), and a rescan with
// several devices present.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "Emulated.h"
#include "Forms.h"
#include "HIDProto.h"
#include "HidControllerClass.h"
#include "VirtualBus.h"

namespace {

std::atomic<std::uint64_t> g_allocations{0};

struct Receiver {
  int replies = 0;
  void Report(hid::THidDevice&, std::uint8_t, const std::uint8_t*, std::uint16_t) { ++replies; }
};

struct Rig {
  sim::VirtualBus bus;
  forms::HeadlessGui gui;
  std::unique_ptr<winapi::SimApi> api = winapi::makeSimApi(bus, &gui);
  hid::HidProcess process{*api, gui};
};

void BM_ReportRoundTrip(benchmark::State& state) {
  Rig rig;
  rig.bus.plug();
  rig.gui.processMessages();
  hid::THidDeviceController controller(rig.process);
  auto device = controller.ClaimDevice(0);
  Receiver receiver;
  device->SetOnReport(hid::THidDataEvent::of<&Receiver::Report>(receiver));
  std::uint8_t report[9] = {};
  (void)HostGenerateVersionCommand(report + 1, 8);
  std::uint64_t allocations = 0;
  for (auto _ : state) {
    const int before = receiver.replies;
    const std::uint64_t allocationsBefore = g_allocations.load();
    std::uint32_t written = 0;
    if (!device->WriteReport(report, sizeof report, written)) {
      state.SkipWithError("write failed");
      break;
    }
    while (receiver.replies == before) {
      rig.gui.processMessages();
      if (receiver.replies == before) rig.gui.waitForMessages(std::chrono::milliseconds(1));
    }
    allocations += g_allocations.load() - allocationsBefore;
  }
  state.counters["allocs_per_report"] = benchmark::Counter(static_cast<double>(allocations) /
                                                           static_cast<double>(state.iterations()));
  device->SetOnReport(nullptr);
}
BENCHMARK(BM_ReportRoundTrip)->Unit(benchmark::kMicrosecond);

void BM_Rescan(benchmark::State& state) {
  Rig rig;
  for (int i = 0; i < state.range(0); ++i) rig.bus.plug();
  rig.gui.processMessages();
  hid::THidDeviceController controller(rig.process);
  for (auto _ : state) controller.DeviceChange();
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Rescan)->Arg(1)->Arg(8)->Arg(32)->Unit(benchmark::kMicrosecond);

}  // namespace

// Counts every allocation of the process, to show what a report costs. GCC cannot see that
// these replace the global pair and takes malloc/free here for a mismatch.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
#pragma GCC diagnostic pop
BENCHMARK_MAIN();
