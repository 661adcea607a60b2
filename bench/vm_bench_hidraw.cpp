// Runs inside the test VM: what the kernel's hidraw path through uhid costs. A minimal loop of
// one write and one read (the most this path allows) beside a whole download with the
// Windows program's checks. Wall time, the benchmark's own CPU time and the device process's
// CPU time are reported.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <random>

#include "protocol/ByteSource.h"
#include "protocol/HIDProto.h"
#include "protocol/UpdateImage.h"
#include "tests/vm/GuestSupport.h"

namespace {

using namespace std::chrono_literals;

struct Session {
  vmtest::DeviceProcess device;
  std::unique_ptr<vmtest::Hidraw> host;
};

bool exchange(Session* session, const std::uint8_t command[8], std::uint8_t reply[64]) {
  if (!session->host->writeCommand(command)) return false;
  return session->host->readReport(reply, 64, 2000ms) == 8 && reply[0] == command[0] &&
         reply[1] == command[1] && reply[2] == command[2];
}

void BM_HidrawRoundTrip(benchmark::State& state, Session* session) {
  std::uint8_t version[8];
  (void)HostGenerateVersionCommand(version, 8);
  std::uint8_t reply[64];
  const auto deviceCpu = session->device.cpuTime();
  for (auto _ : state) {
    if (!session->host->writeCommand(version) ||
        session->host->readReport(reply, sizeof reply, 2000ms) != 8) {
      state.SkipWithError("the device stopped answering");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["device_cpu_us_per_rt"] =
      std::chrono::duration<double, std::micro>(session->device.cpuTime() - deviceCpu).count() /
      static_cast<double>(std::max<std::int64_t>(1, state.iterations()));
}

void BM_HidrawDownload(benchmark::State& state, Session* session) {
  std::vector<std::uint8_t> fw(nuv::image::kFirmwareSize);
  std::mt19937 random(3);
  for (auto& b : fw) b = static_cast<std::uint8_t>(random());
  const auto image = nuv::image::pack(fw, 0xEE);
  std::uint8_t command[8];
  std::uint8_t reply[64];
  const auto deviceCpu = session->device.cpuTime();
  std::int64_t exchanges = 0;
  for (auto _ : state) {
    nuv::MemorySource source(image);
    nuv::image::WindowsImageWalk walk(source);
    bool ok = HostGenerateLinkCommand(command, 8) == 0 && exchange(session, command, reply) &&
              HostGenerateFormatCommand(command, 8) == 0 && exchange(session, command, reply);
    exchanges += 2;
    nuv::image::WriteChunk chunk;
    while (ok) {
      ok = walk.readChunk(chunk) &&
           HostGenerateWriteCommand(command, 8, chunk.address, chunk.data) == 0 &&
           exchange(session, command, reply) && std::memcmp(reply + 3, chunk.data, 4) == 0;
      ++exchanges;
      if (!walk.advance()) break;
    }
    ok = ok && HostGenerateBurnCommand(command, 8) == 0 && exchange(session, command, reply);
    ++exchanges;
    if (!ok) {
      state.SkipWithError("the download failed");
      break;
    }
  }
  state.counters["exchanges_per_s"] =
      benchmark::Counter(static_cast<double>(exchanges), benchmark::Counter::kIsRate);
  state.counters["device_cpu_ms"] =
      std::chrono::duration<double, std::milli>(session->device.cpuTime() - deviceCpu).count() /
      static_cast<double>(std::max<std::int64_t>(1, state.iterations()));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // One path per run, so that each device is alone on its bus: "uhid" (the default), or "usb",
  // the USB device on dummy_hcd's emulated bus bound by the kernel's usbhid, whose frame timer
  // would slow the uhid path down if both were present.
  std::string path = "uhid";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--path=", 0) == 0) {
      path = arg.substr(7);
    } else {
      std::fprintf(stderr, "vm_bench_hidraw: unknown argument '%s' (--path=uhid|usb)\n", argv[i]);
      return 2;
    }
  }
  if (path != "uhid" && path != "usb") {
    std::fprintf(stderr, "vm_bench_hidraw: --path is uhid or usb, not '%s'\n", path.c_str());
    return 2;
  }
  Session session;
  const std::vector<std::string> args =
      path == "usb" ? std::vector<std::string>{"--usb-gadget"} : std::vector<std::string>{};
  if (!session.device.start(args)) {
    std::fprintf(stderr, "vm_bench_hidraw: no %s device: %s\n", path.c_str(),
                 session.device.error().c_str());
    return 1;
  }
  session.host = std::make_unique<vmtest::Hidraw>(session.device.node());
  if (!session.host->isOpen()) {
    std::fprintf(stderr, "vm_bench_hidraw: cannot open %s\n", session.device.node().c_str());
    return 1;
  }
  benchmark::RegisterBenchmark(("BM_HidrawRoundTrip/" + path).c_str(), BM_HidrawRoundTrip, &session)
      ->UseRealTime()
      ->Unit(benchmark::kMicrosecond);
  // The USB path's frames make one download take many seconds.
  benchmark::RegisterBenchmark(("BM_HidrawDownload/" + path).c_str(), BM_HidrawDownload, &session)
      ->UseRealTime()
      ->Iterations(path == "usb" ? 1 : 2)
      ->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
