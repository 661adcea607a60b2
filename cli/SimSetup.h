// The emulated update devices that --sim and its options describe.
#pragma once

#include <memory>
#include <string>

#include "cli/Options.h"
#include "cli/SessionIo.h"
#include "sim/VirtualBus.h"

namespace nuv::cli {

struct SimSetup {
  std::unique_ptr<sim::VirtualBus> bus;
  std::shared_ptr<sim::UpdateDevice> device;
  std::string path;
};

// What tells the emulated devices apart: with --sim-devices N each has a node path, a serial
// number (the HID unique id) and a USB port path of its own. The ports are on bus 0, which no
// real USB bus has, so they never look like hardware.
struct SimDeviceNames {
  std::string path;    // "sim:update-device" alone, "sim:update-device-2" among several
  std::string serial;  // "SIM0002"
  std::string port;    // "0-2"
};
// Device `number` (1-based) of `count` emulated devices.
[[nodiscard]] SimDeviceNames simDeviceNames(unsigned number, unsigned count);

// The emulated device's latency, version and faults as the --sim-... options give them (the
// faults were checked when the options were parsed): for device `number` (1-based) the faults
// that name no device and those that name it. The in-process device of --sim and the kernel's
// devices of emulate are made from the same options.
[[nodiscard]] sim::UpdateDeviceOptions simDeviceOptions(const Options& options,
                                                        unsigned number = 1);

// A bus with one update device plugged in: the emulated device that options.devicePath names
// (the first when it names none), with the latency, version and faults of the options (see
// simDeviceOptions); with `io`, the device plays its replay back and the bus reports to its
// record. A command talks to one device at a time: several are flashed by one process each.
[[nodiscard]] SimSetup makeSim(const Options& options, const SessionIo* io = nullptr);

// The emulated device of a command: the one `io` holds, made with makeSim on first use.
[[nodiscard]] SimSetup& simFor(const Options& options, const SessionIo& io);

}  // namespace nuv::cli
