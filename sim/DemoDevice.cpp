#include "sim/DemoDevice.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "protocol/UpdateImage.h"
#include "sim/Faults.h"

namespace nuv::sim {
namespace {

// Ten seconds: longer than any program waits for a reply, so every time-out stays reachable.
constexpr long long kMaxLatencyUs = 10'000'000;

}  // namespace

Result<DemoOption> readDemoDeviceOption(int argc, const char* const* argv, int& i,
                                        UpdateDeviceOptions& device) {
  const std::string arg = argv[i];
  if (arg != "--latency-us" && arg != "--fault" && arg != "--version")
    return DemoOption::NotADeviceOption;
  if (i + 1 >= argc) return Error::message("missing value after " + arg);
  const char* value = argv[++i];
  if (arg == "--version") {
    device.version = value;
  } else if (arg == "--latency-us") {
    char* end = nullptr;
    errno = 0;
    const long long us = std::strtoll(value, &end, 10);
    if (end == value || *end != '\0' || errno != 0 || us < 0 || us > kMaxLatencyUs)
      return Error::message("--latency-us wants 0 to 10000000, not \"" + std::string(value) + "\"");
    device.latency.model = Latency::Model::Fixed;
    device.latency.fixed = std::chrono::microseconds(us);
  } else {
    auto fault = parseFault(value);
    if (!fault) return Error::message("--fault: " + fault.error().text);
    device.faults.push_back(fault.value());
  }
  return DemoOption::Read;
}

Result<std::size_t> writeDemoImage(const std::string& path) {
  std::vector<std::uint8_t> firmware(image::kFirmwareSize);
  for (std::size_t i = 0; i < firmware.size(); ++i) firmware[i] = static_cast<std::uint8_t>(i * 7);
  std::string header(image::kProgramVersion);
  header += " demo image";
  header.resize(image::kHeaderSize, ' ');
  std::memcpy(firmware.data(), header.data(), image::kHeaderSize);
  const std::vector<std::uint8_t> packed = image::pack(firmware, 0xFF);

  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return Error::fromErrno("open " + path, errno);
  out.write(reinterpret_cast<const char*>(packed.data()),
            static_cast<std::streamsize>(packed.size()));
  out.close();
  if (!out) return Error::fromErrno("write " + path, errno);
  return packed.size();
}

}  // namespace nuv::sim
