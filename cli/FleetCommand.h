// version, download and verify on several devices at once (--all, several --device,
// --retries) and station mode, wired to worker processes, this machine's devices (or the
// emulated ones) and Ctrl-C.
#pragma once

#include <vector>

#include "cli/DeviceSelection.h"
#include "cli/Options.h"
#include "cli/Output.h"

namespace nuv::cli {

// Runs the command on `devices` (ignored in station mode). Returns the exit code.
[[nodiscard]] int runFleetCommand(const Options& options, const std::vector<DeviceRecord>& devices,
                                  Output& out);

}  // namespace nuv::cli
