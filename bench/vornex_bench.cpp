// Vornex's costs through the whole stack (TMainForm, the HID layer's reader thread and its
// hand-over, the headless forms backend) against the emulated device:
//   - host time per Write exchange with a device that answers at once;
//   - CPU time used during a download against a device with 1 ms latency, as a share of the
//     wall time (a wait that spun would be near 100 %);
//   - heap allocations per Write report, counted on every thread (zero in the steady state).
#include <benchmark/benchmark.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <new>

#include "platform/forms/Headless.h"
#include "platform/winapi/Sim.h"
#include "protocol/HIDProto.h"
#include "protocol/UpdateImage.h"
#include "sim/VirtualBus.h"
#include "testsupport/AllocationCounter.h"
#include "win/app/Unit1.h"

namespace {

using namespace std::chrono_literals;

std::string writeImage() {
  const auto path = std::filesystem::temp_directory_path() /
                    ("vornex-bench-" + std::to_string(::getpid()) + ".nuv");
  std::vector<std::uint8_t> firmware(nuv::image::kFirmwareSize, 0x5A);
  const char header[] = "V1.01 benchmark ";
  std::copy(header, header + 16, firmware.begin());
  const auto image = nuv::image::pack(firmware, 0xFF);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
  return path.string();
}

double cpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// One window on one emulated device, on a clock that never moves (no tick can intervene).
struct Stack {
  explicit Stack(nuv::sim::Latency latency = {}) : bus(), gui(clock) {
    gui.setTitle(std::string(kApplicationTitle));
    device = bus.plug({}, {.latency = latency});
    api = nuv::winapi::makeSimApi(bus, &gui);
    process = std::make_unique<nuv::hid::HidProcess>(*api, gui);
    form = std::make_unique<TMainForm>(gui, *process);
    gui.setMainForm(*form);
    gui.activateMainForm();
    gui.processMessages();
  }
  ~Stack() {
    form.reset();
    process.reset();
    api.reset();
  }
  void download(const std::string& path) {
    gui.processMessages();  // clicks left over from the last run land while idle
    gui.queueOpenDialogAnswer(path);
    form->Write_car.click();
  }

  nuv::ManualClock clock;
  nuv::sim::VirtualBus bus;
  nuv::forms::HeadlessGui gui;
  std::shared_ptr<nuv::sim::UpdateDevice> device;
  std::unique_ptr<nuv::winapi::SimApi> api;
  std::unique_ptr<nuv::hid::HidProcess> process;
  std::unique_ptr<TMainForm> form;
};

void BM_WriteExchangeThroughTheStack(benchmark::State& state) {
  const std::string path = writeImage();
  Stack stack;
  std::uint64_t writes = 0;
  for (auto _ : state) {
    stack.download(path);
    if (stack.form->StatusBar1.panelText() != "Update Completed") {
      state.SkipWithError("download failed");
      break;
    }
    writes += nuv::image::WindowsImageWalk::kWriteCount;
  }
  state.SetItemsProcessed(std::int64_t(writes));
  state.counters["us_per_write"] =
      benchmark::Counter(double(writes), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  std::filesystem::remove(path);
}
BENCHMARK(BM_WriteExchangeThroughTheStack)->Unit(benchmark::kMillisecond)->Iterations(3);

// A download stopped after its first 300 Writes, 1 ms per reply.
void BM_CpuShareOfADownloadAt1msLatency(benchmark::State& state) {
  const std::string path = writeImage();
  Stack stack({nuv::sim::Latency::Model::Fixed, std::chrono::microseconds(1000)});
  std::uint32_t before = 0;
  stack.form->Gauge1.observe([&] {
    if (stack.device->countOf(kCmdWrite) - before >= 300 && !stack.form->StopRequested) {
      stack.gui.post([&] { stack.form->stop_button.click(); });
    }
  });
  double cpu = 0, wall = 0;
  std::uint32_t writes = 0;
  for (auto _ : state) {
    // The reply to the Write the stop left unanswered lands while idle, not in the next Link.
    state.PauseTiming();
    for (int i = 0; i < 10; ++i) {
      stack.gui.processMessages();
      stack.gui.waitForMessages(2ms);
    }
    state.ResumeTiming();
    before = stack.device->countOf(kCmdWrite);
    const double c0 = cpuSeconds();
    const auto w0 = std::chrono::steady_clock::now();
    stack.download(path);
    cpu += cpuSeconds() - c0;
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
    writes += stack.device->countOf(kCmdWrite) - before;
  }
  state.counters["cpu_share_pct"] = wall > 0 ? 100.0 * cpu / wall : 0.0;
  state.counters["writes"] = double(writes);
  state.counters["ms_per_exchange"] = writes > 0 ? 1000.0 * wall / double(writes) : 0.0;
  std::filesystem::remove(path);
}
BENCHMARK(BM_CpuShareOfADownloadAt1msLatency)->Unit(benchmark::kMillisecond)->Iterations(2);

// Allocations made between the first and the last Write of a download (the block loop), per
// Write, on every thread: the window, the reader thread, the hand-over and the emulated device.
void BM_AllocationsPerReport(benchmark::State& state) {
  const std::string path = writeImage();
  Stack stack;
  std::uint64_t atStart = 0, atEnd = 0;
  stack.form->StatusBar1.observe([&] {
    const std::string& text = stack.form->StatusBar1.panelText();
    if (text == "Writing Data...") atStart = nuv::test::allocationCount();
    if (text == "Writing All...") atEnd = nuv::test::allocationCount();
  });
  double perReport = 0;
  for (auto _ : state) {
    stack.download(path);
    perReport = double(atEnd - atStart) / double(nuv::image::WindowsImageWalk::kWriteCount);
  }
  state.counters["allocs_per_report"] = perReport;
  state.counters["allocs_in_block_loop"] = double(atEnd - atStart);
  std::filesystem::remove(path);
}
BENCHMARK(BM_AllocationsPerReport)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
