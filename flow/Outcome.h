// How a flow ended, in the one vocabulary every front end shares: the C++ names here, and the
// same strings in the C API, the terminal's JSON, Python and the web page. The strings of
// outcomeName(), stepName(), reasonName() and deviceStateName() are part of that contract and
// never change; the *FromName() functions read them back.
//
// Values only: nothing here allocates, and every function may run on any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace nuv::flow {

enum class OutcomeKind : std::uint8_t {
  Completed,             // the flow did all it had to: version read, image burnt, image verified
  Cancelled,             // the caller cancelled it
  NoDevice,              // there was no device to start on (told by the front end)
  ImageRefused,          // the image failed a check before anything was sent; see `reason`
  DeviceVersionRefused,  // the device's version is not one the image is for; nothing erased
  Timeout,               // strict and verify: no accepted reply within the time-out
  NoResponse,            // strict: the reply's code byte was 0
  DataError,             // strict and verify: the reply does not echo the command
  WriteFailed,           // a report could not be sent
  EchoMismatch,          // echo: a Write's reply echoed another address or other data
  DeviceGone,            // the device went away
  Stalled,               // echo: nothing for the stall limit while a reply was awaited
  VerifyMismatch,        // verify: the device's memory differs from the image
  FileError,             // the image could not be read (told by the front end)
};
inline constexpr std::size_t kOutcomeKindCount = 14;

// The step a flow was in. `Image` is the image's own checks, before any report is sent.
enum class Step : std::uint8_t { Image, Link, Version, Erase, Write, Burn, Read };
inline constexpr std::size_t kStepCount = 7;

// Why an image was refused.
enum class RefusalReason : std::uint8_t {
  Size,        // not 65,536 bytes
  Version,     // its first bytes are not the program's version text (strict only)
  Unreadable,  // the file could not be read (told by the front end)
};
inline constexpr std::size_t kRefusalReasonCount = 3;

// What the flow left on the device, as far as the reports it sent tell: a command counts
// from the moment it was handed over for sending (the device may have carried it out even if
// its reply never came) unless the send failed.
enum class DeviceState : std::uint8_t {
  Untouched,      // nothing was erased: the old firmware still works (also: a read-back)
  Erased,         // Format was sent: the device needs a complete download before it works
  PartlyWritten,  // Format and some Writes were sent, Burn was not
  Burnt,          // Burn was sent: the device committed what it held
};
inline constexpr std::size_t kDeviceStateCount = 4;

struct Outcome {
  OutcomeKind kind = OutcomeKind::Completed;
  Step step = Step::Image;
  std::optional<RefusalReason> reason;  // ImageRefused only
  // The address of the Write or Read in question, where the step has one; VerifyMismatch:
  // the first address that differs.
  std::optional<std::uint16_t> address;
  // The four version bytes the device reported, once it did.
  std::optional<std::array<std::uint8_t, 4>> deviceVersion;
  DeviceState deviceState = DeviceState::Untouched;
  std::uint32_t mismatchedBytes = 0;  // VerifyMismatch: how many bytes differ

  [[nodiscard]] bool succeeded() const { return kind == OutcomeKind::Completed; }
};

// Outcomes that a front end reports itself, before or without an engine.
[[nodiscard]] Outcome noDeviceOutcome();
[[nodiscard]] Outcome fileErrorOutcome();
[[nodiscard]] Outcome imageRefusedOutcome(RefusalReason reason);

[[nodiscard]] std::string_view outcomeName(OutcomeKind kind);
[[nodiscard]] std::string_view stepName(Step step);
[[nodiscard]] std::string_view reasonName(RefusalReason reason);
[[nodiscard]] std::string_view deviceStateName(DeviceState state);
[[nodiscard]] std::optional<OutcomeKind> outcomeFromName(std::string_view name);
[[nodiscard]] std::optional<Step> stepFromName(std::string_view name);
[[nodiscard]] std::optional<RefusalReason> reasonFromName(std::string_view name);
[[nodiscard]] std::optional<DeviceState> deviceStateFromName(std::string_view name);

// What the user does next, one or two sentences to print after the outcome; empty for a
// completed flow. Outcomes that a device fault causes give the advice of docs/faults.md.
[[nodiscard]] std::string_view advice(const Outcome& outcome);

}  // namespace nuv::flow
