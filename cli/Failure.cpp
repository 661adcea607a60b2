#include "cli/Failure.h"

#include <cstdio>

#include "cli/JsonLine.h"

namespace nuv::cli {
namespace {

using flow::DeviceState;
using flow::OutcomeKind;

const char* whatWentWrong(OutcomeKind kind) {
  switch (kind) {
    case OutcomeKind::Timeout:
      return "time-out";
    case OutcomeKind::NoResponse:
      return "no response (reply code 0)";
    case OutcomeKind::DataError:
      return "data error (the reply does not echo the command)";
    case OutcomeKind::EchoMismatch:
      return "wrong echo (the device returned other data)";
    case OutcomeKind::WriteFailed:
      return "the report could not be sent";
    case OutcomeKind::DeviceGone:
      return "the device went away";
    case OutcomeKind::NoDevice:
      return "no device connected";
    case OutcomeKind::Cancelled:
      return "stopped (Ctrl-C)";
    case OutcomeKind::Stalled:
      return "the device stopped answering (no reply within the stall limit)";
    case OutcomeKind::VerifyMismatch:
      return "the device's memory differs from the image";
    case OutcomeKind::DeviceVersionRefused:
      return "the device's version is refused";
    case OutcomeKind::ImageRefused:
      return "the image is refused";
    case OutcomeKind::FileError:
      return "the image could not be read";
    case OutcomeKind::Completed:
      break;
  }
  return "failure";
}

const char* stepVerb(flow::Step step) {
  switch (step) {
    case flow::Step::Link:
      return "linking";
    case flow::Step::Version:
      return "asking for the version";
    case flow::Step::Erase:
      return "erasing";
    case flow::Step::Write:
      return "writing";
    case flow::Step::Burn:
      return "burning";
    case flow::Step::Read:
      return "reading back";
    case flow::Step::Image:
      break;
  }
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

std::string nextStep(const flow::Outcome& outcome, std::string_view command) {
  const OutcomeKind kind = outcome.kind;
  const bool replug = kind == OutcomeKind::DeviceGone || kind == OutcomeKind::WriteFailed ||
                      kind == OutcomeKind::NoDevice;
  if (command == "verify" || outcome.step == flow::Step::Read)
    return replug ? "plug it back in and run verify again"
                  : "check the cable, replug the device and run verify again";
  if (outcome.deviceState == DeviceState::Burnt)
    return "run vornex-cli verify with the image to see whether it holds it";
  if (outcome.deviceState != DeviceState::Untouched)
    return replug ? "plug it back in and run download again" : "run download again";
  const std::string again = "run " + std::string(command) + " again";
  if (replug) return "plug it back in and " + again;
  switch (kind) {
    case OutcomeKind::Timeout:
    case OutcomeKind::Stalled:
      return "check the cable and the device's power, replug it and " + again;
    case OutcomeKind::Cancelled:
      return again + " when ready";
    default:
      return again + "; if it keeps failing, replug the device";
  }
}

}  // namespace

std::string FailureReport::line() const {
  std::string text = whatWentWrong(outcome.kind);
  if (outcome.address && (outcome.step == flow::Step::Write || outcome.step == flow::Step::Read)) {
    char at[16];
    std::snprintf(at, sizeof at, " at 0x%04X", *outcome.address);
    text += at;
  }
  if (const char* verb = stepVerb(outcome.step); *verb != '\0')
    text += std::string(" while ") + verb;
  return text + "; " + stateText(outcome.deviceState) + ": " + next;
}

FailureReport describeFailure(const flow::Outcome& outcome, std::string_view command) {
  return FailureReport{outcome, nextStep(outcome, command)};
}

void addOutcomeFields(JsonLine& json, const flow::Outcome& outcome, std::string_view next) {
  json.text("outcome", flow::outcomeName(outcome.kind));
  json.text("step", flow::stepName(outcome.step));
  if (outcome.address)
    json.number("address", *outcome.address);
  else
    json.null("address");
  json.text("device_state", flow::deviceStateName(outcome.deviceState));
  if (next.empty())
    json.null("next");
  else
    json.text("next", next);
}

}  // namespace nuv::cli
