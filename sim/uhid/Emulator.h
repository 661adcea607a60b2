// The emulated update device as a program: options, start-up, the serving loop and the
// memory file. Used by nuv-uhid-device and by the command-line tool's "emulate" command.
#pragma once

#include <chrono>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "UhidChannel.h"
#include "UhidIdentity.h"
#include "UpdateDevice.h"

namespace sim::uhid {

struct EmulatorOptions {
  UpdateDeviceOptions device;
  Identity identity;
  std::string uhidPath = kDefaultUhidPath;
  std::string memoryFile;  // written on exit and on SIGUSR1; empty: none
  std::string readyFile;   // the hidraw node's path is written here once it is there
  // How long to wait for the kernel's hidraw node before going on without naming it.
  std::chrono::milliseconds nodeWait{5000};
  bool usbGadget = false;  // a USB gadget (UsbGadget.h) instead of a uhid device
  bool help = false;
};

// The usage text, for --help and for errors.
[[nodiscard]] std::string emulatorUsage(std::string_view program);

// Parses the arguments after the program name. Returns the options, or a message that says
// which argument is wrong and why.
[[nodiscard]] std::variant<EmulatorOptions, std::string> parseEmulatorArguments(
    std::span<const std::string_view> args);

// Runs the device until SIGINT or SIGTERM (or an unplug fault, or SIGUSR2, which unplugs it
// at once); SIGUSR1 writes the memory file without stopping. Status lines go to `out`,
// errors to `err`. Returns the process exit status: 0 after a clean stop or an unplug, 1
// when the device could not be created or serving failed.
// Blocks SIGINT, SIGTERM, SIGUSR1 and SIGUSR2 on the calling thread (it reads them through a
// signalfd); call it before other threads are started.
[[nodiscard]] int runEmulator(const EmulatorOptions& options, std::ostream& out, std::ostream& err);

struct HidrawNode {
  std::string path;   // /dev/hidrawN
  std::string hidId;  // the hid device's HID_ID, e.g. "0003:0000FFFF:00000100"
};
// The hidraw node the kernel made for the HID device whose uniq text is `uniq`, found through
// sysfs; nothing when there is none (yet). `sysRoot` is for tests.
[[nodiscard]] std::optional<HidrawNode> hidrawNodeForUniq(const std::string& uniq,
                                                          const std::string& sysRoot = "/sys");

// Writes `bytes` to `path` through a temporary file of its own beside it and a rename, so a
// reader never sees half a file and a failed write leaves what was there.
[[nodiscard]] std::optional<nuv::Error> writeFileWhole(const std::string& path,
                                                       std::span<const std::uint8_t> bytes);
// The device's 64 KiB of memory, written as writeFileWhole does.
[[nodiscard]] std::optional<nuv::Error> writeMemoryFile(const std::string& path,
                                                        const std::vector<std::uint8_t>& memory);

}  // namespace sim::uhid
