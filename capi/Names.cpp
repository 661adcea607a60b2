// The names of statuses and of the outcome vocabulary, the advice, the library's version.
#include <array>
#include <string_view>

#include "capi/Convert.h"
#include "capi/Edge.h"
#include "flow/Outcome.h"

namespace {

namespace flow = nuv::flow;

// The name functions return C strings: the vocabulary's views are literals, so they end with a
// zero byte; a value outside the vocabulary gets "".
const char* cString(std::string_view name) {
  return name.empty() ? "" : name.data();
}

template <std::size_t Count>
bool inRange(int value) {
  return value >= 0 && static_cast<std::size_t>(value) < Count;
}

}  // namespace

extern "C" {

const char* nuv_status_name(int status) {
  static constexpr std::array<const char*, 11> kNames = {
      "ok",    "argument", "no_device", "ambiguous",   "access",  "failed",
      "image", "file",     "buffer",    "unsupported", "internal"};
  return status >= 0 && static_cast<std::size_t>(status) < kNames.size() ? kNames[status] : "";
}

const char* nuv_library_version(void) {
  return NUV_VERSION;
}

const char* nuv_outcome_name(int outcome) {
  if (!inRange<flow::kOutcomeKindCount>(outcome)) return "";
  return cString(flow::outcomeName(static_cast<flow::OutcomeKind>(outcome)));
}

const char* nuv_step_name(int step) {
  if (!inRange<flow::kStepCount>(step)) return "";
  return cString(flow::stepName(static_cast<flow::Step>(step)));
}

const char* nuv_device_state_name(int state) {
  if (!inRange<flow::kDeviceStateCount>(state)) return "";
  return cString(flow::deviceStateName(static_cast<flow::DeviceState>(state)));
}

const char* nuv_reason_name(int reason) {
  if (!inRange<flow::kRefusalReasonCount>(reason)) return "";
  return cString(flow::reasonName(static_cast<flow::RefusalReason>(reason)));
}

const char* nuv_result_advice(const nuv_result* result) {
  if (result == nullptr) return "";
  const auto outcome = nuv::capi::outcomeOf(*result);
  return outcome ? cString(flow::advice(*outcome)) : "";
}

}  // extern "C"
