#include "cli/SimSetup.h"

#include <cstdio>

namespace nuv::cli {

SimDeviceNames simDeviceNames(unsigned number, unsigned count) {
  char serial[16];
  std::snprintf(serial, sizeof serial, "SIM%04u", number);
  // One device keeps the path it always had, which records and scripts name.
  std::string path =
      count <= 1 ? "sim:update-device" : "sim:update-device-" + std::to_string(number);
  return {std::move(path), serial, "0-" + std::to_string(number)};
}

sim::UpdateDeviceOptions simDeviceOptions(const Options& options, unsigned number) {
  sim::UpdateDeviceOptions device;
  if (options.simLatencyMs > 0)
    device.latency = {sim::Latency::Model::Fixed, std::chrono::milliseconds(options.simLatencyMs)};
  if (options.simVersion) device.version = *options.simVersion;
  for (const std::string& text : options.simFaults) {
    const DeviceFault named = splitDeviceFault(text);
    if (named.deviceNumber && *named.deviceNumber != number) continue;
    device.faults.push_back(sim::parseFault(named.fault).value());
  }
  return device;
}

SimSetup makeSim(const Options& options, const SessionIo* io) {
  unsigned number = 1;
  for (unsigned n = 1; n <= options.simDevices; ++n)
    if (simDeviceNames(n, options.simDevices).path == options.devicePath) number = n;
  SimSetup setup;
  setup.bus = std::make_unique<sim::VirtualBus>();
  setup.path = simDeviceNames(number, options.simDevices).path;
  sim::UpdateDeviceOptions device = simDeviceOptions(options, number);
  if (io != nullptr) {
    device.script = io->replay;
    setup.bus->setTap(io->tap());
  }
  setup.device = setup.bus->plug(sim::DeviceInfo{.path = setup.path}, std::move(device));
  return setup;
}

SimSetup& simFor(const Options& options, const SessionIo& io) {
  if (!io.sim) io.sim = std::make_shared<SimSetup>(makeSim(options, &io));
  return *io.sim;
}

}  // namespace nuv::cli
