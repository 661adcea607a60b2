// A device's session on record: every report a host sent to one update device and every report
// it got back, with its time, as JSON lines. A session recorded against a real device can be
// replayed by the emulated device, so that it becomes a test that runs anywhere.
//
// The file: a first line naming the format, then one line per event:
//   {"record":"nuv-update-session","version":1}
//   {"t_us":0,"event":"sent","report":"001000000000000010"}
//   {"t_us":1480,"event":"received","report":"1000000100fc00ed"}
//   {"t_us":9120,"event":"send-failed","report":"0018...","error":"write: No such device"}
//   {"t_us":9300,"event":"gone"}
// t_us counts microseconds from the start of the recording. A sent report is written as the
// host wrote it, framed (Framing.h); a received one as hidraw hands it over, framed only when
// the device uses report IDs. Reports are lowercase hexadecimal.
//
// Thread-safety: the functions have no state. A SessionTap is called from whatever thread does
// the I/O; implementations lock as they need.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Error.h"
#include "protocol/Result.h"

namespace nuv {

enum class SessionEventKind { Sent, SendFailed, Received, Gone };

// Told of each report as it passes. `report` is empty for Gone; `error` is set for SendFailed.
class SessionTap {
 public:
  virtual ~SessionTap() = default;
  virtual void event(SessionEventKind kind, std::span<const std::uint8_t> report,
                     std::string_view error = {}) = 0;
};

struct SessionEvent {
  SessionEventKind kind = SessionEventKind::Sent;
  std::chrono::microseconds at{0};
  std::vector<std::uint8_t> report;
  std::string error;
};

inline constexpr std::string_view kSessionRecordHeader =
    R"({"record":"nuv-update-session","version":1})";
// Reports longer than this are cut when recorded (a HID report has at most 4096 bytes and the
// update device's have 9).
inline constexpr std::size_t kMaxRecordedReport = 64;

// Writes one event's line (with its newline) into `out`; returns its length, or 0 when
// `capacity` is too small. Allocates nothing: it is called per report.
[[nodiscard]] std::size_t formatSessionEvent(SessionEventKind kind, std::chrono::microseconds at,
                                             std::span<const std::uint8_t> report,
                                             std::string_view error, char* out,
                                             std::size_t capacity);

// Reads a whole record. Refused, with the line number: a missing or unknown header, a line that
// is not one flat JSON object, an unknown event, a report that is not hexadecimal or longer
// than kMaxRecordedReport bytes, times that go backwards. Blank lines are skipped; keys other
// than the ones above are ignored, so that later versions may add some.
[[nodiscard]] Result<std::vector<SessionEvent>> parseSessionRecord(std::string_view text);

[[nodiscard]] std::string hexOf(std::span<const std::uint8_t> bytes);

}  // namespace nuv
