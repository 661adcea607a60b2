// The emulated update device that --sim and its options describe.
#pragma once

#include <memory>

#include "Options.h"
#include "SessionIo.h"
#include "VirtualBus.h"

namespace cli {

struct SimSetup {
  std::unique_ptr<sim::VirtualBus> bus;
  std::shared_ptr<sim::UpdateDevice> device;
  std::string path;
};

// The emulated device's latency, version and faults as the --sim-... options give them (the
// faults were checked when the options were parsed). The in-process device of --sim and the
// kernel's device of emulate are made from the same options.
[[nodiscard]] sim::UpdateDeviceOptions simDeviceOptions(const Options& options);

// A bus with one update device plugged in, with the latency, version and faults of the options
// (see simDeviceOptions); with `io`, the device plays its replay back and the bus reports to
// its record.
[[nodiscard]] SimSetup makeSim(const Options& options, const SessionIo* io = nullptr);

}  // namespace cli
