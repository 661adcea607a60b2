// vornex-cli download --sim, the whole program as a user runs it: wall time and CPU time
// (user + system, of the child process) at --sim-latency 0 and 1 ms, and both per round trip
// against the 16,132 exchanges that bound a download (Link, Version, Format, 16,128 Writes,
// Burn). At 1 ms latency the wall time is bounded below by the latency; the CPU share says
// whether the waits spin.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "UpdateImage.h"

extern char** environ;

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

void downloadSim(benchmark::State& state) {
  const std::string latency = std::to_string(state.range(0));
  std::vector<std::string> args{VORNEX_CLI,      "download", sampleImage(), "--sim",
                                "--sim-latency", latency,    "--quiet"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  double wallTotal = 0, cpuTotal = 0;
  for (auto _ : state) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
      state.SkipWithError("cannot start vornex-cli");
      break;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    (void)::wait4(pid, &status, 0, &usage);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("the download failed");
      break;
    }
    const double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
                       usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    state.SetIterationTime(wall);
    wallTotal += wall;
    cpuTotal += cpu;
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

}  // namespace

BENCHMARK_MAIN();
