// The reply parser on any report a device could send: any length, any bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "protocol/HIDProto.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz::QuietLog quiet;
  // An exact copy, so that a read past the report's end is caught even for short ones.
  const std::vector<std::uint8_t> report(data, data + size);
  ParsedReport parsed;
  std::memset(&parsed, 0, sizeof parsed);
  const auto length = static_cast<std::uint32_t>(report.size());
  const std::int32_t result = HIDReportParse(report.data(), length, &parsed);
  if (length < kReportSize) {
    FUZZ_CHECK(result == -1);
    FUZZ_CHECK(parsed.id == 0);
    return 0;
  }
  FUZZ_CHECK(result == 0);
  FUZZ_CHECK(parsed.id == report[0]);
  switch (report[0]) {
    case kCmdWrite:
    case kCmdRead:
      // The address is what the acceptance checks compare with the command: it must be the
      // echoed bytes 1 and 2, little-endian, and the data bytes 3..6.
      FUZZ_CHECK(parsed.address == (report[1] | report[2] << 8));
      FUZZ_CHECK(std::memcmp(parsed.data, report.data() + 3, 4) == 0);
      break;
    case kCmdVersion:
      FUZZ_CHECK(std::memcmp(parsed.data, report.data() + 3, 4) == 0);
      break;
    default:
      break;
  }
  // Nothing past the eighth byte is looked at: a longer report parses as its first eight.
  ParsedReport first8;
  std::memset(&first8, 0, sizeof first8);
  FUZZ_CHECK(HIDReportParse(report.data(), kReportSize, &first8) == 0);
  FUZZ_CHECK(std::memcmp(&first8, &parsed, sizeof parsed) == 0);
  return 0;
}
