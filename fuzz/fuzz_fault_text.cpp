// The emulated device's fault texts (--sim-fault, --fault) as a user could type them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "sim/Faults.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto parsed = nuv::sim::parseFault(text);
  if (!parsed) {
    FUZZ_CHECK(!parsed.error().text.empty());
    return 0;
  }
  const nuv::sim::Fault& fault = parsed.value();
  const std::string_view name = nuv::sim::faultName(fault.kind);
  FUZZ_CHECK(name != "?");
  // An accepted text starts with its kind's name, which parses back to the same kind.
  FUZZ_CHECK(std::string_view(text).substr(0, name.size()) == name);
  if (fault.when.kind == nuv::sim::Trigger::Kind::AtCommand) FUZZ_CHECK(fault.when.value >= 1);
  if (fault.when.kind == nuv::sim::Trigger::Kind::AtAddress) FUZZ_CHECK(fault.when.value <= 0xFFFF);
  if (fault.kind != nuv::sim::FaultKind::LateReply) FUZZ_CHECK(fault.delay.count() == 0);
  const auto again = nuv::sim::parseFault(std::string(name) + (name == "late" ? ":1" : "") + "@#1");
  FUZZ_CHECK(again.ok() && again.value().kind == fault.kind);
  return 0;
}
