// version, download and verify on one device: the engine's flows (flow/) run to their end by
// the blocking runner (run/) over the emulated device or a hidraw node, and told in the
// terminal with the windows' own status words. Nothing here decides how a flow goes or how it
// ended: the engine's outcome does, and gives the exit code, the failure line and the JSON.
#pragma once

#include <atomic>

#include "cli/Options.h"
#include "cli/Output.h"
#include "cli/SessionIo.h"
#include "flow/Outcome.h"

namespace nuv::cli {

// Runs the command of `options` (version, download, verify; download --verify reads back on
// the same link) on the device options.devicePath names, or the emulated one. `cancel`: set
// by Ctrl-C. Returns the exit code; the result has been told.
[[nodiscard]] int runDeviceCommand(const Options& options, Output& out, const SessionIo& io,
                                   const std::atomic<bool>& cancel);

// The exit code of an outcome.
[[nodiscard]] int exitCodeOf(const flow::Outcome& outcome);

}  // namespace nuv::cli
