// vornex-sim: the Vornex window against the emulated update device on a virtual HID bus, for
// trying the program (and its failures) without hardware.
//
//   vornex-sim [--version TEXT] [--latency-us N] [--fault KIND[:PARAM]@WHERE[+]]...
//
// --version sets the device's four version characters (default 1.01), --latency-us the delay
// of every reply, --fault one fault of the emulated device (as the device's fault syntax).
#include <cstdio>
#include <string>

#include "platform/winapi/Sim.h"
#include "sim/DemoDevice.h"
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
    const auto read = nuv::sim::readDemoDeviceOption(argc, argv, i, options);
    if (!read) return usage(read.error().text.c_str());
    if (read.value() == nuv::sim::DemoOption::NotADeviceOption)
      return usage((std::string("unknown option ") + argv[i]).c_str());
  }
  nuv::forms::QtGui app("vornex-sim");
  nuv::sim::VirtualBus bus;
  (void)bus.plug({}, options);
  std::unique_ptr<nuv::winapi::SimApi> api = nuv::winapi::makeSimApi(bus, &app);
  return runVornex(app, *api);
}
