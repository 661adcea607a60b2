// vornex-sim: the Vornex window against the emulated update device on a virtual HID bus, for
// trying the program (and its failures) without hardware.
//
//   vornex-sim [--version TEXT] [--latency-us N] [--fault KIND[:PARAM]@WHERE[+]]...
//
// --version sets the device's four version characters (default 1.01), --latency-us the delay
// of every reply, --fault one fault of the emulated device (as the device's fault syntax).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/winapi/Sim.h"
#include "sim/Faults.h"
#include "sim/VirtualBus.h"
#include "win/app/VornexQt.h"

namespace {

int usage(const char* message) {
  std::fprintf(stderr, "vornex-sim: %s\n", message);
  std::fprintf(stderr,
               "usage: vornex-sim [--version TEXT] [--latency-us N] "
               "[--fault KIND[:PARAM]@WHERE[+]]...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  nuv::sim::UpdateDeviceOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return usage(("missing value after " + arg).c_str());
    const std::string value = argv[++i];
    if (arg == "--version") {
      options.version = value;
    } else if (arg == "--latency-us") {
      char* end = nullptr;
      const long us = std::strtol(value.c_str(), &end, 10);
      if (end == value.c_str() || *end != '\0' || us < 0 || us > 10'000'000) {
        return usage("--latency-us wants 0 to 10000000");
      }
      options.latency.model = nuv::sim::Latency::Model::Fixed;
      options.latency.fixed = std::chrono::microseconds(us);
    } else if (arg == "--fault") {
      auto fault = nuv::sim::parseFault(value);
      if (!fault) return usage(fault.error().text.c_str());
      options.faults.push_back(fault.value());
    } else {
      return usage(("unknown option " + arg).c_str());
    }
  }
  nuv::forms::QtGui app("vornex-sim");
  nuv::sim::VirtualBus bus;
  (void)bus.plug({}, options);
  std::unique_ptr<nuv::winapi::SimApi> api = nuv::winapi::makeSimApi(bus, &app);
  return runVornex(app, *api);
}
