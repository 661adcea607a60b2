// Runs inside the test VM: N kernel HID devices from one `vornex-cli emulate --count N`, all
// flashed at once by one `vornex-cli download IMAGE --all`, both as child processes. Reported:
// the download's wall time against one device's, the CPU time per exchange of the download
// (with its worker processes) and of the emulator, and the largest resident set of any
// download process. The VM has one CPU, so N devices share it.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/CliProcess.h"
#include "protocol/UpdateImage.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr double kExchangesPerDevice = 16132;

const fs::path& workDir() {
  static const fs::path dir = [] {
    const fs::path d = fs::temp_directory_path() / ("nuv-vm-fleet-" + std::to_string(::getpid()));
    fs::create_directories(d);
    return d;
  }();
  return dir;
}

std::string sampleImage() {
  static const std::string path = [] {
    std::vector<std::uint8_t> fw(nuv::image::kFirmwareSize);
    std::mt19937 random(5);
    for (auto& b : fw) b = static_cast<std::uint8_t>(random());
    std::memcpy(fw.data(), "V1.01 bench     ", 16);
    const auto image = nuv::image::pack(fw, 0xEE);
    const fs::path p = workDir() / "image.nuv";
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    return p.string();
  }();
  return path;
}

using bench::cpuSeconds;
using bench::spawnCli;

// The ready file lists one node a line once every device has its node.
bool waitForNodes(const fs::path& ready, unsigned count, pid_t emulator) {
  const auto end = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < end) {
    std::ifstream in(ready);
    unsigned lines = 0;
    for (std::string line; std::getline(in, line);) ++lines;
    if (lines == count) return true;
    int status = 0;
    if (::waitpid(emulator, &status, WNOHANG) == emulator) return false;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

void BM_FleetDownload(benchmark::State& state) {
  static double oneDeviceWall = 0;
  const auto devices = static_cast<unsigned>(state.range(0));
  double wallTotal = 0, downloadCpu = 0, emulatorCpu = 0;
  long maxRssKb = 0;
  for (auto _ : state) {
    const fs::path ready = workDir() / ("ready-" + std::to_string(devices));
    fs::remove(ready);
    const pid_t emulator =
        spawnCli({"emulate", "--count", std::to_string(devices), "--ready-file", ready.string()});
    if (emulator < 0 || !waitForNodes(ready, devices, emulator)) {
      if (emulator > 0) {
        ::kill(emulator, SIGTERM);
        ::waitpid(emulator, nullptr, 0);
      }
      state.SkipWithError("emulate did not present its devices");
      break;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t download = spawnCli({"download", sampleImage(), "--all", "--json"});
    int status = 0;
    rusage usage{};
    if (download > 0) (void)::wait4(download, &status, 0, &usage);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::kill(emulator, SIGINT);
    int emulatorStatus = 0;
    rusage emulatorUsage{};
    (void)::wait4(emulator, &emulatorStatus, 0, &emulatorUsage);
    if (download < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("the download failed");
      break;
    }
    state.SetIterationTime(wall);
    wallTotal += wall;
    downloadCpu += cpuSeconds(usage);
    emulatorCpu += cpuSeconds(emulatorUsage);
    maxRssKb = std::max(maxRssKb, usage.ru_maxrss);
  }
  const double n = static_cast<double>(state.iterations());
  if (n == 0) return;
  const double exchanges = kExchangesPerDevice * devices * n;
  const double wall = wallTotal / n;
  if (devices == 1) oneDeviceWall = wall;
  state.counters["devices"] = devices;
  state.counters["wall_s"] = wall;
  if (oneDeviceWall > 0) state.counters["wall_vs_one_device"] = wall / oneDeviceWall;
  state.counters["host_cpu_us_per_exchange"] = downloadCpu / exchanges * 1e6;
  state.counters["device_cpu_us_per_exchange"] = emulatorCpu / exchanges * 1e6;
  state.counters["max_rss_kib"] = static_cast<double>(maxRssKb);
}

BENCHMARK(BM_FleetDownload)
    ->Arg(1)
    ->Arg(4)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(workDir(), ec);
  return 0;
}
