// Cost of the HID layer on the sim backend: one report written and its reply delivered through
// the reader thread to the GUI thread (with the allocations that takes), and a rescan with
// several devices present.
#include <benchmark/benchmark.h>

#include "platform/forms/Headless.h"
#include "testsupport/AllocationCounter.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "platform/forms/Forms.h"
#include "platform/winapi/Sim.h"
#include "protocol/HIDProto.h"
#include "sim/VirtualBus.h"
#include "win/hid/HidControllerClass.h"

namespace {

struct Receiver {
  int replies = 0;
  void Report(nuv::hid::THidDevice&, std::uint8_t, const std::uint8_t*, std::uint16_t) {
    ++replies;
  }
};

struct Rig {
  nuv::sim::VirtualBus bus;
  nuv::forms::HeadlessGui gui;
  std::unique_ptr<nuv::winapi::SimApi> api = nuv::winapi::makeSimApi(bus, &gui);
  nuv::hid::HidProcess process{*api, gui};
};

void BM_ReportRoundTrip(benchmark::State& state) {
  Rig rig;
  rig.bus.plug();
  rig.gui.processMessages();
  nuv::hid::THidDeviceController controller(rig.process);
  auto device = controller.ClaimDevice(0);
  Receiver receiver;
  device->SetOnReport(nuv::hid::THidDataEvent::of<&Receiver::Report>(receiver));
  std::uint8_t report[9] = {};
  (void)HostGenerateVersionCommand(report + 1, 8);
  std::uint64_t allocations = 0;
  for (auto _ : state) {
    const int before = receiver.replies;
    const std::uint64_t allocationsBefore = nuv::test::allocationCount();
    std::uint32_t written = 0;
    if (!device->WriteReport(report, sizeof report, written)) {
      state.SkipWithError("write failed");
      break;
    }
    while (receiver.replies == before) {
      rig.gui.processMessages();
      if (receiver.replies == before) rig.gui.waitForMessages(std::chrono::milliseconds(1));
    }
    allocations += nuv::test::allocationCount() - allocationsBefore;
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
  nuv::hid::THidDeviceController controller(rig.process);
  for (auto _ : state) controller.DeviceChange();
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Rescan)->Arg(1)->Arg(8)->Arg(32)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
