#include "capi/Convert.h"

#include "capi/Edge.h"
#include "cli/ImageTools.h"
#include "mac/VersionText.h"

namespace nuv::capi {

void fillResult(const flow::Outcome& outcome, std::string_view linkMessage, nuv_result& result) {
  result = nuv_result{};
  result.outcome = static_cast<int>(outcome.kind);
  result.step = static_cast<int>(outcome.step);
  result.address = outcome.address ? static_cast<std::int32_t>(*outcome.address) : -1;
  // The device's four characters as every front end spells a version.
  if (outcome.deviceVersion)
    copyText(cli::spelledVersion(mac::versionText(outcome.deviceVersion->data())),
             result.device_version);
  result.device_state = static_cast<int>(outcome.deviceState);
  result.reason = outcome.reason ? static_cast<int>(*outcome.reason) : NUV_REASON_NONE;
  result.mismatched_bytes = outcome.mismatchedBytes;
  copyText(linkMessage, result.message);
}

std::optional<flow::Outcome> outcomeOf(const nuv_result& result) {
  const auto kind = flow::outcomeFromName(nuv_outcome_name(result.outcome));
  const auto step = flow::stepFromName(nuv_step_name(result.step));
  const auto state = flow::deviceStateFromName(nuv_device_state_name(result.device_state));
  if (!kind || !step || !state) return std::nullopt;
  flow::Outcome outcome{.kind = *kind, .step = *step, .deviceState = *state};
  outcome.reason = flow::reasonFromName(nuv_reason_name(result.reason));
  if (result.address >= 0 && result.address <= 0xFFFF)
    outcome.address = static_cast<std::uint16_t>(result.address);
  outcome.mismatchedBytes = result.mismatched_bytes;
  return outcome;
}

nuv_status statusOf(const flow::Outcome& outcome) {
  return outcome.succeeded() ? NUV_OK : NUV_E_FAILED;
}

}  // namespace nuv::capi
