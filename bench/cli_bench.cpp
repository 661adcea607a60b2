// vornex-cli download --sim, the whole program as a user runs it: wall time and CPU time
// (user + system, of the child process) at --sim-latency 0 and 1 ms, and both per round trip
// against the 16,132 exchanges that bound a download (Link, Version, Format, 16,128 Writes,
// Burn). At 1 ms latency the wall time is bounded below by the latency; the CPU share says
// whether the waits spin. Then several emulated devices flashed at once.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/CliProcess.h"
#include "protocol/UpdateImage.h"

namespace {

constexpr double kRoundTrips = 16132;

std::string sampleImage() {
  static const std::string path = [] {
    const auto p = std::filesystem::temp_directory_path() /
                   ("nuv-cli-bench-" + std::to_string(::getpid()) + ".nuv");
    std::vector<std::uint8_t> fw(nuv::image::kFirmwareSize);
    for (std::size_t i = 0; i < fw.size(); ++i) fw[i] = static_cast<std::uint8_t>(i * 3);
    std::memcpy(fw.data(), "V1.01 bench     ", 16);
    const auto image = nuv::image::pack(fw, 0xFF);
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    return p.string();
  }();
  return path;
}

// One run of vornex-cli to its end, its standard output thrown away.
struct ChildRun {
  bool started = false;
  int exitCode = -1;
  double wall = 0;    // seconds
  double cpu = 0;     // user + system seconds of the child and of every child it waited for
  long maxRssKb = 0;  // the largest resident set of the child or of one of its children
};

ChildRun runCli(std::vector<std::string> args) {
  ChildRun run;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = bench::spawnCli(std::move(args));
  run.started = pid > 0;
  if (!run.started) return run;
  int status = 0;
  rusage usage{};
  (void)::wait4(pid, &status, 0, &usage);
  run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.cpu = bench::cpuSeconds(usage);
  run.maxRssKb = usage.ru_maxrss;
  return run;
}

void downloadSim(benchmark::State& state) {
  const std::string latency = std::to_string(state.range(0));
  double wallTotal = 0, cpuTotal = 0;
  for (auto _ : state) {
    const ChildRun run =
        runCli({"download", sampleImage(), "--sim", "--sim-latency", latency, "--quiet"});
    if (!run.started) {
      state.SkipWithError("cannot start vornex-cli");
      break;
    }
    if (run.exitCode != 0) {
      state.SkipWithError("the download failed");
      break;
    }
    state.SetIterationTime(run.wall);
    wallTotal += run.wall;
    cpuTotal += run.cpu;
  }
  const double n = static_cast<double>(state.iterations());
  if (n == 0) return;
  state.counters["wall_s"] = wallTotal / n;
  state.counters["cpu_s"] = cpuTotal / n;
  state.counters["wall_us_per_round_trip"] = wallTotal / n / kRoundTrips * 1e6;
  state.counters["cpu_us_per_round_trip"] = cpuTotal / n / kRoundTrips * 1e6;
  state.counters["cpu_share"] = cpuTotal / wallTotal;
}

BENCHMARK(downloadSim)->Arg(0)->Iterations(3)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(downloadSim)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// N emulated devices flashed at once (one worker process each) at 1 ms latency: the wall time
// against one device's (the goal is that N devices take about as long as one, which needs a
// core per few devices: the machine's cores are reported beside it), the CPU time of every
// process per exchange, and the largest resident set of any one of them. Runs N = 1 first.
void downloadSimDevices(benchmark::State& state) {
  static double oneDeviceWall = 0;
  const auto devices = static_cast<unsigned>(state.range(0));
  double wallTotal = 0, cpuTotal = 0;
  long maxRssKb = 0;
  for (auto _ : state) {
    const ChildRun run = runCli({"download", sampleImage(), "--sim", "--sim-devices",
                                 std::to_string(devices), "--all", "--sim-latency", "1", "--json"});
    if (!run.started) {
      state.SkipWithError("cannot start vornex-cli");
      break;
    }
    if (run.exitCode != 0) {
      state.SkipWithError(("the download ended with " + std::to_string(run.exitCode)).c_str());
      break;
    }
    state.SetIterationTime(run.wall);
    wallTotal += run.wall;
    cpuTotal += run.cpu;
    maxRssKb = std::max(maxRssKb, run.maxRssKb);
  }
  const double n = static_cast<double>(state.iterations());
  if (n == 0) return;
  const double wall = wallTotal / n;
  if (devices == 1) oneDeviceWall = wall;
  state.counters["devices"] = devices;
  state.counters["cores"] = static_cast<double>(std::thread::hardware_concurrency());
  state.counters["wall_s"] = wall;
  if (oneDeviceWall > 0) state.counters["wall_vs_one_device"] = wall / oneDeviceWall;
  state.counters["cpu_s"] = cpuTotal / n;
  state.counters["cpu_us_per_exchange"] = cpuTotal / n / (kRoundTrips * devices) * 1e6;
  state.counters["max_rss_kib"] = static_cast<double>(maxRssKb);
}

BENCHMARK(downloadSimDevices)
    ->Arg(1)
    ->Arg(8)
    ->Arg(32)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
