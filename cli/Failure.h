// The one line that ends a failed run: what went wrong, where (the step and the address), the
// state the device is left in, and the next thing to do, e.g.
//   vornex-cli: time-out at 0x2000 while writing; the device is erased: run download again
// and the same as fields of the JSON result.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cli/WireWatch.h"

namespace nuv::cli {

class JsonLine;

// How an exchange failed, as the flow found it.
enum class Symptom {
  Timeout,       // no reply within the time allowed
  NoResponse,    // a reply with code 0: the device did not carry the command out
  DataError,     // a reply that does not echo the command
  WrongEcho,     // a Write's reply echoes other data (the echo check)
  SendFailed,    // the report could not be written
  DeviceGone,    // the device went away
  NotConnected,  // no device when the command was to be sent
  Interrupted,   // Ctrl-C
  Stalled,       // nothing arrived for a long time, and the run was ended
};
[[nodiscard]] const char* symptomName(Symptom symptom);  // "timeout", "no_response", ...

struct FailureReport {
  Symptom symptom = Symptom::Timeout;
  std::string step;                      // "write", ... (stepOfCommand); "" when unknown
  std::optional<std::uint16_t> address;  // for a Write or a Read
  DeviceState state = DeviceState::Untouched;
  std::string next;  // what to do now

  // "time-out at 0x2000 while writing; the device is erased: run download again"
  [[nodiscard]] std::string line() const;
  // Adds "reason", "step", "address", "device_state" and "next" to a result object.
  void addTo(JsonLine& json) const;
};

// The report of a run of `command` ("version", "download", "verify") that failed with
// `symptom`, after what the wire showed. The gone and send-failed events of the wire win over
// a flow's own word for them (a write that failed because the device went away).
[[nodiscard]] FailureReport describeFailure(Symptom symptom, const WireSummary& wire,
                                            std::string_view command);

}  // namespace nuv::cli
