#include "flow/Outcome.h"

namespace nuv::flow {
namespace {

constexpr std::array<std::string_view, kOutcomeKindCount> kOutcomeNames = {
    "completed",   "cancelled",   "no_device",       "image_refused", "device_version_refused",
    "timeout",     "no_response", "data_error",      "write_failed",  "echo_mismatch",
    "device_gone", "stalled",     "verify_mismatch", "file_error"};
constexpr std::array<std::string_view, kStepCount> kStepNames = {
    "image", "link", "version", "erase", "write", "burn", "read"};
constexpr std::array<std::string_view, kRefusalReasonCount> kReasonNames = {"size", "version",
                                                                            "unreadable"};
constexpr std::array<std::string_view, kDeviceStateCount> kDeviceStateNames = {
    "untouched", "erased", "partly_written", "burnt"};

template <class E, std::size_t N>
std::optional<E> fromName(const std::array<std::string_view, N>& names, std::string_view name) {
  for (std::size_t i = 0; i < N; ++i)
    if (names[i] == name) return static_cast<E>(i);
  return std::nullopt;
}

template <class E, std::size_t N>
std::string_view nameOf(const std::array<std::string_view, N>& names, E value) {
  const auto i = static_cast<std::size_t>(value);
  return i < N ? names[i] : std::string_view{};
}

// The advice of docs/faults.md, word for word (a test holds them to the page).
constexpr std::string_view kAdviceNoReply =
    "Check the cable and the device's power, unplug and replug it, and run the download again. "
    "A device that was erased needs a complete download before it works again.";
constexpr std::string_view kAdviceCodeZero =
    "The device is not ready for the command: replug it and run the download again.";
constexpr std::string_view kAdviceWrongCode =
    "The device answered another command: replug it and run the download again.";
constexpr std::string_view kAdviceWrongData =
    "The device echoed other data: replug it and run the download again; if it recurs at the "
    "same address, the device's memory may be faulty.";
constexpr std::string_view kAdviceWriteFailure =
    "The system refused to send to the device: replug it (check permissions with `vornex-cli "
    "list`) and run the download again.";
constexpr std::string_view kAdviceUnplug =
    "Plug the device in again (firmly, without a hub if possible) and run the download again; "
    "an erased device needs the complete download before it works.";

}  // namespace

Outcome noDeviceOutcome() {
  return Outcome{.kind = OutcomeKind::NoDevice, .step = Step::Link};
}

Outcome fileErrorOutcome() {
  return Outcome{.kind = OutcomeKind::FileError};
}

Outcome imageRefusedOutcome(RefusalReason reason) {
  return Outcome{.kind = OutcomeKind::ImageRefused, .reason = reason};
}

std::string_view outcomeName(OutcomeKind kind) {
  return nameOf(kOutcomeNames, kind);
}
std::string_view stepName(Step step) {
  return nameOf(kStepNames, step);
}
std::string_view reasonName(RefusalReason reason) {
  return nameOf(kReasonNames, reason);
}
std::string_view deviceStateName(DeviceState state) {
  return nameOf(kDeviceStateNames, state);
}
std::optional<OutcomeKind> outcomeFromName(std::string_view name) {
  return fromName<OutcomeKind>(kOutcomeNames, name);
}
std::optional<Step> stepFromName(std::string_view name) {
  return fromName<Step>(kStepNames, name);
}
std::optional<RefusalReason> reasonFromName(std::string_view name) {
  return fromName<RefusalReason>(kReasonNames, name);
}
std::optional<DeviceState> deviceStateFromName(std::string_view name) {
  return fromName<DeviceState>(kDeviceStateNames, name);
}

std::string_view advice(const Outcome& outcome) {
  switch (outcome.kind) {
    case OutcomeKind::Completed:
      return {};
    case OutcomeKind::Cancelled:
      return outcome.deviceState == DeviceState::Untouched
                 ? "Nothing was erased: the device works as before."
                 : "The device was left unfinished: run the complete download again before "
                   "using it.";
    case OutcomeKind::NoDevice:
      return "Plug the device in (check permissions with `vornex-cli list`) and run the command "
             "again.";
    case OutcomeKind::ImageRefused:
      return "Nothing was sent to the device: choose an update image made for it (65,536 "
             "bytes, readable).";
    case OutcomeKind::DeviceVersionRefused:
      return "Nothing was erased: this image is not for this device's version.";
    case OutcomeKind::Timeout:
    case OutcomeKind::Stalled:
      return kAdviceNoReply;
    case OutcomeKind::NoResponse:
      return kAdviceCodeZero;
    case OutcomeKind::DataError:
      return kAdviceWrongCode;
    case OutcomeKind::WriteFailed:
      return kAdviceWriteFailure;
    case OutcomeKind::EchoMismatch:
      return kAdviceWrongData;
    case OutcomeKind::DeviceGone:
      return kAdviceUnplug;
    case OutcomeKind::VerifyMismatch:
      return "The device does not hold the image: run the complete download again, then "
             "verify.";
    case OutcomeKind::FileError:
      return "The update image could not be read: check the file and run the command again.";
  }
  return {};
}

}  // namespace nuv::flow
