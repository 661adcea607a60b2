// The windows' own flows run in the terminal: Vornex's Version and Download (--flow strict)
// and QuenlorHID's Download and Version (--flow echo), each on the terminal backend of its
// toolkit seam. No flow logic lives here: only the wiring, and how the end of a flow (its
// status line and its boxes) turns into an exit code.
#pragma once

#include <optional>
#include <string>

#include "cli/Options.h"
#include "cli/Output.h"
#include "cli/SessionIo.h"
#include "win/app/Unit1.h"

namespace nuv::cli {

// version and download with --flow strict; download --verify reads the device back after
// "Update Completed", in the same process. Return the exit code.
// `io`: the record to write and the replay to play (--record, --sim-replay).
[[nodiscard]] int runStrictFlow(const Options& options, Output& out, const SessionIo& io = {});
[[nodiscard]] int runEchoFlow(const Options& options, Output& out, const SessionIo& io = {});

// The exit code of a strict flow that ended as `outcome` says; `interrupted` when a Ctrl-C
// came (a flow that ended without result after one was stopped).
[[nodiscard]] int strictExitCode(const FlowOutcome& outcome, bool interrupted);

// The refusal of a device's version, with the version the device reported (as the wire
// showed it) and the one this updater needs.
[[nodiscard]] std::string deviceVersionRefusal(const WireSummary& wire);

// The exit code of an echo download that has returned to idle with the status line `status`.
[[nodiscard]] int echoExitCode(const std::string& status, bool interrupted);

}  // namespace nuv::cli
