// Cost of the protocol's hot paths: one report built and its reply parsed, a whole image
// walked by each downloader, and one exchange with the emulated device.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "protocol/HIDProto.h"
#include "protocol/Log.h"
#include "protocol/UpdateImage.h"
#include "sim/VirtualBus.h"
#include "testsupport/SampleImage.h"

namespace {

void BM_BuildWriteAndParseReply(benchmark::State& state) {
  std::uint8_t report[8];
  std::uint8_t data[4] = {1, 2, 3, 4};
  std::uint16_t address = 0;
  for (auto _ : state) {
    (void)HostGenerateWriteCommand(report, 8, address, data);
    ParsedReport parsed{};
    (void)HIDReportParse(report, 8, &parsed);
    benchmark::DoNotOptimize(parsed);
    address = static_cast<std::uint16_t>(address + 4);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BuildWriteAndParseReply);

void BM_WindowsWalkWholeImage(benchmark::State& state) {
  const auto image = nuv::test::benchmarkImage();
  for (auto _ : state) {
    nuv::MemorySource source(image);
    nuv::image::WindowsImageWalk walk(source);
    nuv::image::WriteChunk chunk;
    std::uint32_t sum = 0;
    do {
      if (!walk.readChunk(chunk)) state.SkipWithError("walk failed");
      sum += chunk.data[0];
    } while (walk.advance());
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(state.iterations() * nuv::image::kImageSize);
}
BENCHMARK(BM_WindowsWalkWholeImage);

class NullLog final : public nuv::LogSink {
 public:
  void write(std::string_view) override {}
};

void BM_MacWalkWholeImage(benchmark::State& state) {
  const auto image = nuv::test::benchmarkImage();
  NullLog quiet;
  nuv::ScopedLogSink capture(quiet);  // the walk logs its seeks and skips
  for (auto _ : state) {
    nuv::MemorySource source(image);
    nuv::image::MacImageWalk walk(source);
    std::uint8_t chunk[4];
    std::uint32_t sum = 0;
    for (std::uint32_t t = 0; t <= nuv::image::MacImageWalk::kLastAddress; t += 4) {
      if (!walk.chunkFor(static_cast<std::uint16_t>(t), chunk)) state.SkipWithError("walk failed");
      sum += chunk[0];
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(state.iterations() * nuv::image::kImageSize);
}
BENCHMARK(BM_MacWalkWholeImage);

void BM_EmulatedDeviceExchange(benchmark::State& state) {
  nuv::sim::VirtualBus bus;
  bus.plug();
  auto c = bus.open(bus.devices()[0].path);
  std::uint8_t out[9] = {};
  std::uint8_t in[64];
  std::uint8_t data[4] = {1, 2, 3, 4};
  std::uint16_t address = 0;
  for (auto _ : state) {
    (void)HostGenerateWriteCommand(out + 1, 8, address, data);
    std::size_t n = 0;
    if (c->write(out, sizeof out) != nuv::IoStatus::Ok ||
        c->read(in, sizeof in, &n, std::chrono::nanoseconds(0)) != nuv::IoStatus::Ok)
      state.SkipWithError("exchange failed");
    address = static_cast<std::uint16_t>(address + 4);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EmulatedDeviceExchange);

}  // namespace

BENCHMARK_MAIN();
