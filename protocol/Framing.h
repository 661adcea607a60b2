// How a command and a reply travel as HID reports, written down once.
//
// A command and a reply are kReportSize (8) bytes (HIDProto.h). The update device has no report
// IDs. On the wire a host writes a report-ID byte, kReportId (0x00), and then the 8 bytes, and
// reads a reply the same way: kFramedReportSize (9) bytes each way, as Windows' WriteFile and
// ReadFile frame them. Layers that hand over the payload alone add or take off the byte at
// their edge with the helpers below: hidraw's reads from a device without report IDs, the IOKit
// HID manager's calls, and the kernel's USB HID driver, which drops the 0x00 before the bytes
// leave the host. A device that does use report IDs has its ID where kReportId stands.
//
// No allocation: these run once per report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "protocol/HIDProto.h"

namespace nuv {

inline constexpr std::uint8_t kReportId = 0x00;
inline constexpr std::size_t kFramedReportSize = kReportSize + 1;

// Writes `reportId`, then `payload`, into `framed`, and zeros over the rest of it (a report goes
// out at its full length). Returns the bytes before the zeros, 1 + payload.size(), or 0 when
// they do not fit; `framed` is then left as it was.
[[nodiscard]] inline std::size_t frameReport(std::span<const std::uint8_t> payload,
                                             std::span<std::uint8_t> framed,
                                             std::uint8_t reportId = kReportId) {
  const std::size_t used = 1 + payload.size();
  if (used > framed.size()) return 0;
  framed[0] = reportId;
  // A payload may come without a buffer when it is empty: copying nothing from null is still
  // undefined.
  if (!payload.empty()) std::memcpy(framed.data() + 1, payload.data(), payload.size());
  std::memset(framed.data() + used, 0, framed.size() - used);
  return used;
}

// The payload of a framed report: what follows its report-ID byte (nothing for an empty read).
[[nodiscard]] inline std::span<const std::uint8_t> payloadOf(std::span<const std::uint8_t> framed) {
  return framed.empty() ? framed : framed.subspan(1);
}

}  // namespace nuv
