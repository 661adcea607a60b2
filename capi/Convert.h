// The engine's outcome as the C API's result, and back.
#pragma once

#include <optional>
#include <string_view>

#include "flow/Outcome.h"
#include "include/nuv/nuv.h"

namespace nuv::capi {

// Fills every field of `result` from `outcome`; `linkMessage` is what the link said when a
// report could not go through ("" when nothing failed).
void fillResult(const flow::Outcome& outcome, std::string_view linkMessage, nuv_result& result);

// The outcome a result tells, or nothing when a field holds a value outside the vocabulary.
[[nodiscard]] std::optional<flow::Outcome> outcomeOf(const nuv_result& result);

// NUV_OK for a completed flow, NUV_E_FAILED for any other end.
[[nodiscard]] nuv_status statusOf(const flow::Outcome& outcome);

}  // namespace nuv::capi
