// A HID report descriptor parser of our own, reduced to what the host programs need: the
// report lengths as Windows' HidP_GetCaps states them, whether report IDs are used, and the
// top-level usage. Pure and portable: no system calls, no allocation.
//
// Thread-safe (no state). Malformed input returns an Error naming the byte offset of the
// offending item; the parser never reads past the end of the given bytes.
#pragma once

#include <cstdint>
#include <span>

#include "protocol/Result.h"

namespace nuv::hidraw {

struct ReportCaps {
  // Usage page and usage of the first top-level (depth 0) collection. Windows makes one HID
  // device per top-level collection; a hidraw node carries them all, so the first one speaks
  // for the node.
  std::uint16_t usagePage = 0;
  std::uint16_t usage = 0;
  // The largest report of each kind in bytes, plus one for the report-ID byte, which Windows
  // counts even when the device has no report IDs (8-byte reports without IDs give 9).
  // 0 when the descriptor declares no report of that kind.
  std::uint16_t inputReportByteLength = 0;
  std::uint16_t outputReportByteLength = 0;
  std::uint16_t featureReportByteLength = 0;
  bool usesReportIds = false;

  friend bool operator==(const ReportCaps&, const ReportCaps&) = default;
};

// Refused: an empty descriptor, a truncated short or long item, report size/count/ID out of
// range (ID 0, ID > 255, a report longer than 65534 bytes), Pop without
// Push, nesting deeper than the parser's fixed stacks, End Collection without Collection, an
// unclosed collection, no top-level collection, and data items outside any report ID in a
// descriptor that otherwise uses report IDs (the host could not frame those reports).
// Accepted as the Linux HID core accepts them: long items (skipped), items of reserved type or
// unknown tag (ignored), data items outside any collection.
[[nodiscard]] Result<ReportCaps> parseReportDescriptor(std::span<const std::uint8_t> descriptor);

}  // namespace nuv::hidraw
