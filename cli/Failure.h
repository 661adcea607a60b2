// The one line that ends a failed run on a device: what went wrong, where (the step and the
// address), the state the device is left in, and the next thing to do, e.g.
//   vornex-cli: time-out at 0x2000 while writing; the device is erased and partly written: run
//   download again
// and the same as fields of the JSON result. All of it comes from the engine's outcome.
#pragma once

#include <string>
#include <string_view>

#include "flow/Outcome.h"

namespace nuv::cli {

class JsonLine;

struct FailureReport {
  flow::Outcome outcome;
  std::string next;  // what to do now

  // "time-out at 0x2000 while writing; the device is erased: run download again"
  [[nodiscard]] std::string line() const;
};

// The report of a run of `command` ("version", "download", "verify") that ended as `outcome`
// (anything but completed, a refused image or device version, or a verify mismatch, which
// have lines of their own).
[[nodiscard]] FailureReport describeFailure(const flow::Outcome& outcome, std::string_view command);

// Adds what a device command's result says of its outcome: "outcome" (the engine's names),
// "step", "address" (null where the step has none), "device_state", and "next" (null after
// a success).
void addOutcomeFields(JsonLine& json, const flow::Outcome& outcome, std::string_view next);

}  // namespace nuv::cli
