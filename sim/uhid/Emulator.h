// The emulated update device as a program: options, start-up, the serving loop and the
// memory file. Used by nuv-uhid-device and by the command-line tool's "emulate" command.
#pragma once

#include <chrono>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Result.h"
#include "sim/UpdateDevice.h"
#include "sim/uhid/UhidChannel.h"
#include "sim/uhid/UhidIdentity.h"

namespace nuv::sim::uhid {

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
[[nodiscard]] nuv::Result<EmulatorOptions> parseEmulatorArguments(
    std::span<const std::string_view> args);

// Runs the device until SIGINT or SIGTERM (or an unplug fault, or SIGUSR2, which unplugs it
// at once); SIGUSR1 writes the memory file without stopping. Status lines go to `out`,
// errors to `err`. Returns the process exit status: 0 after a clean stop or an unplug, 1
// when the device could not be created or serving failed.
// Blocks SIGINT, SIGTERM, SIGUSR1 and SIGUSR2 on the calling thread (it reads them through a
// signalfd); call it before other threads are started.
[[nodiscard]] int runEmulator(const EmulatorOptions& options, std::ostream& out, std::ostream& err);

// Several devices at once, each a HID device of its own, served by the calling thread: as
// runEmulator, with these differences.
// - Each device has its own device options, identity and memory file. A device without a uniq
//   gets "nuv-uhid-<pid>-<number>" (1-based), so that its node can be told from the others'.
//   The uhid path, the node wait and the ready file are the first device's; the USB gadget
//   path takes one device only.
// - The devices are presented in order; when one cannot be, those before it are removed
//   again and nothing is served.
// - The ready file lists the hidraw nodes, one a line in the devices' order, written once
//   every device has its node (never, when one did not get one).
// - Status and error lines of a device start with "device N: ".
// - SIGUSR1 writes every memory file. SIGUSR2 unplugs every device, or, sent with the value N
//   through sigqueue(3) (`kill -s USR2 -q N PID`), only device N.
// - An unplug fault unplugs the device that has it; a device whose transport fails is
//   dropped (the status is then 1). The run ends when no device is left, or on SIGINT or
//   SIGTERM; each device's memory file is written then.
[[nodiscard]] int runEmulators(std::span<const EmulatorOptions> devices, std::ostream& out,
                               std::ostream& err);

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
// The file of device `number` (1-based) among several that share one file name: the number
// goes before the extension, "out/memory.bin" -> "out/memory-2.bin" ("memory" -> "memory-2").
// The folder is kept; a name that is only an extension (".bin") gets the number at its end.
[[nodiscard]] std::string numberedFile(const std::string& path, unsigned number);

// The device's 64 KiB of memory, written as writeFileWhole does.
[[nodiscard]] std::optional<nuv::Error> writeMemoryFile(const std::string& path,
                                                        const std::vector<std::uint8_t>& memory);

}  // namespace nuv::sim::uhid
