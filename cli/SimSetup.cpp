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

SimSetup makeSim(const Options& options, const SessionIo* io) {
  SimSetup setup;
  setup.bus = std::make_unique<sim::VirtualBus>();
  setup.path = "sim:update-device";
  sim::UpdateDeviceOptions device = simDeviceOptions(options);
  if (io != nullptr) {
    device.script = io->replay;
    setup.bus->setTap(io->tap());
  }
  setup.device = setup.bus->plug(sim::DeviceInfo{.path = setup.path}, std::move(device));
  return setup;
}

}  // namespace cli
