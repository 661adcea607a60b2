// The emulated update device that --sim and its options describe.
#pragma once

#include <memory>

#include "Options.h"
#include "VirtualBus.h"

namespace cli {

struct SimSetup {
  std::unique_ptr<sim::VirtualBus> bus;
  std::shared_ptr<sim::UpdateDevice> device;
  std::string path;
};

// A bus with one update device plugged in, with the latency, version and faults of the options
// (the faults were checked when the options were parsed).
[[nodiscard]] SimSetup makeSim(const Options& options);

}  // namespace cli
