// vornex-cli emulate: the emulated update device presented to this machine's kernel through
// /dev/uhid, so that any program (this tool, the windows, a user's own scripts) finds it as a
// /dev/hidrawN node like the real device, until Ctrl-C.
#pragma once

#include "Options.h"
#include "Output.h"

namespace cli {

// Runs on the calling thread until SIGINT or SIGTERM (or the device's unplug fault). Start no
// other thread before: the emulator takes those signals through a signalfd, which needs them
// blocked in every thread. Returns the exit code: 0 after a stop or an unplug; 3 when /dev/uhid
// is missing or this user may not open it (the message says what to do); 7 when the memory or
// ready file cannot be written where it was asked for (checked before the device appears);
// 6 when the kernel refused the device or serving it failed.
[[nodiscard]] int runEmulate(const Options& options, Output& out);

}  // namespace cli
