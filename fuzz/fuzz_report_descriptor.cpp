// The HID report descriptor parser on whatever a broken or hostile device could present.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz/FuzzSupport.h"
#include "platform/hidraw/ReportDescriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> descriptor(data, size);
  const auto parsed = nuv::hidraw::parseReportDescriptor(descriptor);
  if (!parsed) {
    // A refusal names the offending item; an empty message would leave the user guessing.
    FUZZ_CHECK(!parsed.error().describe().empty());
    return 0;
  }
  const nuv::hidraw::ReportCaps& caps = parsed.value();
  // The parser keeps no state: the same bytes give the same answer.
  const auto again = nuv::hidraw::parseReportDescriptor(descriptor);
  FUZZ_CHECK(again.ok() && again.value() == caps);
  return 0;
}
