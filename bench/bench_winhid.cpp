// Cost of the HID layer on the sim backend: one report written and its reply delivered through
// the reader thread to the GUI thread (with the allocations that takes), and a rescan with
// several devices present.
#include <benchmark/benchmark.h>

#include "AllocationCounter.h"
#include "forms/Headless.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "Forms.h"
#include "HIDProto.h"
#include "HidControllerClass.h"
#include "VirtualBus.h"
#include "winapi/Sim.h"

namespace {


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
    const std::uint64_t allocationsBefore = nuv::testing::allocationCount();
    std::uint32_t written = 0;
    if (!device->WriteReport(report, sizeof report, written)) {
      state.SkipWithError("write failed");
      break;
    }
    while (receiver.replies == before) {
      rig.gui.processMessages();
      if (receiver.replies == before) rig.gui.waitForMessages(std::chrono::milliseconds(1));
    }
    allocations += nuv::testing::allocationCount() - allocationsBefore;
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

BENCHMARK_MAIN();
