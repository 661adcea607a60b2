// vornex-cli emulate: the emulated update device presented to this machine's kernel through
// /dev/uhid, so that any program (this tool, the windows, a user's own scripts) finds it as a
// /dev/hidrawN node like the real device, until Ctrl-C.
#pragma once

#include "cli/Options.h"
#include "cli/Output.h"

namespace nuv::cli {

// Devices presented at once by one emulate: --count N, 1 to this. Each is a uhid device, a
// descriptor and a hidraw node; more would be a mistake rather than a test.
inline constexpr unsigned kMostEmulatedDevices = 64;

// Runs on the calling thread until SIGINT or SIGTERM (or until its last device was unplugged).
// With --count N the N devices are served together (sim::uhid::runEmulators says how they
// differ from one device: numbered memory files, the ready file's lines, SIGUSR2 N). Start no
// other thread before: the emulator takes those signals through a signalfd, which needs them
// blocked in every thread. Returns the exit code: 0 after a stop or an unplug; 2 for more
// than kMostEmulatedDevices; 3 when /dev/uhid is missing or this user may not open it (the
// message says what to do); 7 when a memory or ready file cannot be written where it was
// asked for (checked before any device appears); 6 when the kernel refused a device or
// serving one failed.
[[nodiscard]] int runEmulate(const Options& options, Output& out);

}  // namespace nuv::cli
