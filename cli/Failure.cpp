#include "cli/Failure.h"

#include <cstdio>

#include "cli/JsonLine.h"
#include "protocol/HIDProto.h"

namespace nuv::cli {
namespace {

const char* symptomText(Symptom symptom) {
  switch (symptom) {
    case Symptom::Timeout:
      return "time-out";
    case Symptom::NoResponse:
      return "no response (reply code 0)";
    case Symptom::DataError:
      return "data error (the reply does not echo the command)";
    case Symptom::WrongEcho:
      return "wrong echo (the device returned other data)";
    case Symptom::SendFailed:
      return "the report could not be sent";
    case Symptom::DeviceGone:
      return "the device went away";
    case Symptom::NotConnected:
      return "no device connected";
    case Symptom::Interrupted:
      return "stopped (Ctrl-C)";
    case Symptom::Stalled:
      return "the device stopped answering";
  }
  return "failure";
}

const char* stepVerb(std::string_view step) {
  if (step == "link") return "linking";
  if (step == "version") return "asking for the version";
  if (step == "erase") return "erasing";
  if (step == "write") return "writing";
  if (step == "burn") return "burning";
  if (step == "read") return "reading back";
  if (step == "refresh") return "refreshing";
  return "";
}

const char* stateText(DeviceState state) {
  switch (state) {
    case DeviceState::Untouched:
      return "the device is untouched";
    case DeviceState::Erased:
      return "the device is erased";
    case DeviceState::PartlyWritten:
      return "the device is erased and partly written";
    case DeviceState::Burnt:
      return "the device is burnt";
  }
  return "";
}

std::string nextStep(Symptom symptom, DeviceState state, std::string_view command) {
  if (state == DeviceState::Burnt)
    return "run vornex-cli verify with the image to see whether it holds it";
  if (state != DeviceState::Untouched) {
    if (symptom == Symptom::DeviceGone || symptom == Symptom::SendFailed)
      return "plug it back in and run download again";
    return "run download again";
  }
  const std::string again = "run " + std::string(command) + " again";
  switch (symptom) {
    case Symptom::Timeout:
    case Symptom::Stalled:
      return "check the cable and the device's power, replug it and " + again;
    case Symptom::DeviceGone:
    case Symptom::SendFailed:
    case Symptom::NotConnected:
      return "plug it back in and " + again;
    case Symptom::Interrupted:
      return again + " when ready";
    case Symptom::NoResponse:
    case Symptom::DataError:
    case Symptom::WrongEcho:
      break;
  }
  return again + "; if it keeps failing, replug the device";
}

}  // namespace

const char* symptomName(Symptom symptom) {
  switch (symptom) {
    case Symptom::Timeout:
      return "timeout";
    case Symptom::NoResponse:
      return "no_response";
    case Symptom::DataError:
      return "data_error";
    case Symptom::WrongEcho:
      return "echo_mismatch";
    case Symptom::SendFailed:
      return "write_failed";
    case Symptom::DeviceGone:
      return "device_gone";
    case Symptom::NotConnected:
      return "no_device";
    case Symptom::Interrupted:
      return "cancelled";
    case Symptom::Stalled:
      return "stalled";
  }
  return "timeout";
}

std::string FailureReport::line() const {
  std::string text = symptomText(symptom);
  if (address) {
    char at[16];
    std::snprintf(at, sizeof at, " at 0x%04X", *address);
    text += at;
  }
  if (const char* verb = stepVerb(step); *verb != '\0') text += std::string(" while ") + verb;
  return text + "; " + stateText(state) + ": " + next;
}

void FailureReport::addTo(JsonLine& json) const {
  json.text("reason", symptomName(symptom));
  if (step.empty())
    json.null("step");
  else
    json.text("step", step);
  if (address)
    json.number("address", *address);
  else
    json.null("address");
  json.text("device_state", deviceStateName(state)).text("next", next);
}

FailureReport describeFailure(Symptom symptom, const WireSummary& wire, std::string_view command) {
  FailureReport report;
  report.symptom = symptom;
  if (symptom != Symptom::Interrupted && symptom != Symptom::WrongEcho) {
    if (wire.gone)
      report.symptom = Symptom::DeviceGone;
    else if (wire.sendFailed)
      report.symptom = Symptom::SendFailed;
  }
  if (wire.lastCommand) {
    report.step = stepOfCommand(*wire.lastCommand);
    if (*wire.lastCommand == kCmdWrite || *wire.lastCommand == kCmdRead)
      report.address = wire.lastAddress;
  }
  report.state = wire.state;
  report.next = nextStep(report.symptom, report.state, command);
  return report;
}

}  // namespace nuv::cli
