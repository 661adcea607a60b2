// Session records (--record, --replay) and vornex-cli's JSON lines as a file or a worker could
// hand them over: text read line by line as flat JSON objects.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/JsonLine.h"
#include "fuzz/FuzzSupport.h"
#include "protocol/SessionRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  (void)nuv::cli::readJsonLine(text);

  const auto parsed = nuv::parseSessionRecord(text);
  if (!parsed) {
    FUZZ_CHECK(!parsed.error().text.empty());
    return 0;
  }
  // What was read is written back and reads the same: times, kinds and reports.
  std::string again = std::string(nuv::kSessionRecordHeader) + "\n";
  std::array<char, 512> line{};
  for (const nuv::SessionEvent& event : parsed.value()) {
    FUZZ_CHECK(event.report.size() <= nuv::kMaxRecordedReport);
    const std::size_t length = nuv::formatSessionEvent(event.kind, event.at, event.report,
                                                       event.error, line.data(), line.size());
    if (length == 0) return 0;  // an error text too long for the line buffer
    again.append(line.data(), length);
  }
  const auto reread = nuv::parseSessionRecord(again);
  FUZZ_CHECK(reread.ok());
  FUZZ_CHECK(reread.value().size() == parsed.value().size());
  for (std::size_t i = 0; i < parsed.value().size(); ++i) {
    FUZZ_CHECK(reread.value()[i].kind == parsed.value()[i].kind);
    FUZZ_CHECK(reread.value()[i].at == parsed.value()[i].at);
    FUZZ_CHECK(reread.value()[i].report == parsed.value()[i].report);
  }
  return 0;
}
