// A command on several devices at once, and station mode: each device's flow runs in a worker
// process of its own (Workers.h), started, watched and, after an exchange failure, started
// again (--retries); the parent merges what the workers say (FleetView.h) and works out one
// exit code.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/DeviceSelection.h"
#include "cli/DeviceSource.h"
#include "cli/FleetView.h"
#include "cli/Options.h"
#include "cli/Workers.h"

namespace nuv::cli {

struct FleetSetup {
  WorkerLauncher& launcher;
  // Station mode's arrivals; after an unplug, the same device's return. Watched by the run.
  DeviceSource& source;
  FleetView& view;
  // Readable once per Ctrl-C (a byte each); -1 for none. The first is handed on to every
  // worker (their Stop) and ends station mode; a second ends the process elsewhere.
  int interruptFd = -1;
};

// The arguments of the worker for `device`: the same command, on that one device, with --json.
// From the second `attempt` on, the emulated device's one-time faults are left out: they have
// happened (a real device that failed once is met again as it is, not with its fault reset).
[[nodiscard]] std::vector<std::string> workerArguments(const Options& options,
                                                       const DeviceRecord& device,
                                                       unsigned attempt = 1);

// Whether a device that ended with `code` gets another attempt under --retries: exchange
// failures (a time-out, no response, a data error, a lost device) and a device that was gone
// when its worker looked; never a refusal of the image or the version, a file error, a verify
// mismatch or a Ctrl-C.
[[nodiscard]] bool retryable(int code);

// One exit code for the devices' codes (in the order of the devices): 0 when all are 0, 130
// when the run was interrupted and a device was stopped, else the first failing device's code.
// `summary` says how many succeeded and, when the failures differ, which code each had.
struct FleetOutcome {
  int exitCode = 0;
  std::string summary;
};
[[nodiscard]] FleetOutcome fleetOutcome(const std::vector<const DeviceRun*>& runs,
                                        bool interrupted);

// Runs the command of `options` on each of `devices` at once. Returns the exit code.
[[nodiscard]] int runFleet(const Options& options, const std::vector<DeviceRecord>& devices,
                           FleetSetup& setup);

// Station mode: flashes each device the options select as it is plugged in (those attached at
// the start too), once per plug-in, until Ctrl-C or --count devices are done. Returns the exit
// code: that of the devices done (fleetOutcome), or 130 when Ctrl-C came before --count.
[[nodiscard]] int runStation(const Options& options, FleetSetup& setup);

}  // namespace nuv::cli
