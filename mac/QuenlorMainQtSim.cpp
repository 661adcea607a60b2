// QuenlorHID's window against an emulated update device on a virtual bus, for demos and for
// looking at the window without hardware. Unlike QuenlorHID it reads a few options.
#include <cstdio>
#include <string>

#include "mac/QuenlorQt.h"
#include "platform/iohid/Sim.h"
#include "sim/DemoDevice.h"
#include "sim/VirtualBus.h"

namespace {

constexpr const char* kUsage =
    "usage: QuenlorHID-sim [--latency-us N] [--fault FAULT]... [--version TEXT]\n"
    "       QuenlorHID-sim --make-image PATH\n"
    "Shows QuenlorHID's window with an emulated update device plugged in.\n";
constexpr const char* kMakeImageUsage =
    "  --make-image PATH  writes a demo update image (65536 bytes) to PATH and exits\n";

int usage(FILE* to, int status) {
  std::fprintf(to, "%s%s%s", kUsage, nuv::sim::kDemoDeviceUsage, kMakeImageUsage);
  return status;
}

int makeImage(const char* path) {
  const auto written = nuv::sim::writeDemoImage(path);
  if (!written) {
    std::fprintf(stderr, "QuenlorHID-sim: %s\n", written.error().describe().c_str());
    return 1;
  }
  std::printf("wrote %s (%zu bytes)\n", path, written.value());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  nuv::sim::UpdateDeviceOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--make-image" && i + 1 < argc) return makeImage(argv[++i]);
    const auto read = nuv::sim::readDemoDeviceOption(argc, argv, i, options);
    if (!read) {
      std::fprintf(stderr, "QuenlorHID-sim: %s\n", read.error().text.c_str());
      return usage(stderr, 2);
    }
    if (read.value() == nuv::sim::DemoOption::Read) continue;
    const bool help = arg == "--help" || arg == "-h";
    return usage(help ? stdout : stderr, help ? 0 : 2);
  }
  nuv::sim::VirtualBus bus;
  (void)bus.plug({}, options);
  return nuv::mac::runQuenlorQt("QuenlorHID-sim",
                                [&bus] { return nuv::iohid::createSimHIDManager(bus); });
}
