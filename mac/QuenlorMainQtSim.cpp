// QuenlorHID's window against an emulated update device on a virtual bus, for demos and for
// looking at the window without hardware. Unlike QuenlorHID it reads a few options.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "mac/QuenlorQt.h"
#include "platform/iohid/Sim.h"
#include "protocol/UpdateImage.h"
#include "sim/Faults.h"
#include "sim/VirtualBus.h"

namespace {

constexpr const char* kUsage =
    "usage: QuenlorHID-sim [--latency-us N] [--fault FAULT]... [--version TEXT]\n"
    "       QuenlorHID-sim --make-image PATH\n"
    "Shows QuenlorHID's window with an emulated update device plugged in.\n"
    "  --latency-us N     the device answers each command after N microseconds\n"
    "  --fault FAULT      a fault of the device, e.g. wrong-data@0x2000, no-reply@write,\n"
    "                     unplug@#500 (KIND[:PARAM]@WHERE[+])\n"
    "  --version TEXT     the device's four version characters (default 1.01)\n"
    "  --make-image PATH  writes a demo update image (65536 bytes) to PATH and exits\n";

int makeImage(const char* path) {
  std::vector<std::uint8_t> firmware(nuv::image::kFirmwareSize);
  const char header[] = "V1.01 demo image";
  for (std::size_t i = 0; i < firmware.size(); ++i) firmware[i] = static_cast<std::uint8_t>(i * 7);
  std::memcpy(firmware.data(), header, nuv::image::kHeaderSize);
  const std::vector<std::uint8_t> image = nuv::image::pack(firmware, 0xFF);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()),
            static_cast<std::streamsize>(image.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "QuenlorHID-sim: cannot write %s: %s\n", path, std::strerror(errno));
    return 1;
  }
  std::printf("wrote %s (%zu bytes)\n", path, image.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  nuv::sim::UpdateDeviceOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--make-image" && hasValue) return makeImage(argv[++i]);
    if (arg == "--latency-us" && hasValue) {
      options.latency.model = nuv::sim::Latency::Model::Fixed;
      options.latency.fixed = std::chrono::microseconds(std::strtoll(argv[++i], nullptr, 10));
    } else if (arg == "--fault" && hasValue) {
      auto parsed = nuv::sim::parseFault(argv[++i]);
      if (!parsed) {
        std::fprintf(stderr, "QuenlorHID-sim: %s\n%s", parsed.error().text.c_str(), kUsage);
        return 2;
      }
      options.faults.push_back(parsed.value());
    } else if (arg == "--version" && hasValue) {
      options.version = argv[++i];
    } else {
      std::fputs(kUsage, arg == "--help" || arg == "-h" ? stdout : stderr);
      return arg == "--help" || arg == "-h" ? 0 : 2;
    }
  }
  nuv::sim::VirtualBus bus;
  (void)bus.plug({}, options);
  return nuv::mac::runQuenlorQt("QuenlorHID-sim",
                                [&bus] { return nuv::iohid::createSimHIDManager(bus); });
}
