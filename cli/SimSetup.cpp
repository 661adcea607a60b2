#include "SimSetup.h"

#include <variant>

namespace cli {

sim::UpdateDeviceOptions simDeviceOptions(const Options& options) {
  sim::UpdateDeviceOptions device;
  if (options.simLatencyMs > 0)
    device.latency = {sim::Latency::Model::Fixed, std::chrono::milliseconds(options.simLatencyMs)};
  if (options.simVersion) device.version = *options.simVersion;
  for (const std::string& text : options.simFaults)
    device.faults.push_back(std::get<sim::Fault>(sim::parseFault(text)));
  return device;
}

SimSetup makeSim(const Options& options) {
  SimSetup setup;
  setup.bus = std::make_unique<sim::VirtualBus>();
  setup.path = "sim:update-device";
  setup.device = setup.bus->plug(sim::DeviceInfo{.path = setup.path}, simDeviceOptions(options));
  return setup;
}

}  // namespace cli
