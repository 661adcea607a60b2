// The commands that work on files only: inspect, pack and unpack.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/Options.h"
#include "cli/Output.h"

namespace nuv::cli {

// Why Vornex would refuse an image, in its own words, or empty when it would accept it.
struct ImageVerdict {
  std::uint64_t size = 0;
  std::string header;  // the 16 header bytes, non-printable ones as \xNN
  // The image's version as every output spells a version: "1.01" for an image that starts
  // with "V1.01"; the first five bytes (non-printable ones as \xNN) when they do not start
  // with 'V'.
  std::string version;
  std::string refusal;     // "Filesize is error", "Version is error", or empty
  std::string reasonCode;  // "size", "version", or empty
  std::string reason;      // the refusal explained for a person
};
[[nodiscard]] ImageVerdict judgeImage(std::span<const std::uint8_t> bytes, std::uint64_t size);

// A version as it is shown everywhere: without the image's leading 'V' ("V1.01" -> "1.01").
[[nodiscard]] std::string spelledVersion(std::string_view text);

// The image of a download or verify, looked at before any device is: nothing when the flow of
// the options would take it (Vornex's flow: size and version; QuenlorHID's and the read-back:
// size), otherwise the exit code, with the exact reason told (inspect's words). Nothing has
// been sent to any device then.
[[nodiscard]] std::optional<int> refuseImage(const Options& options, Output& out);

// Each returns the process exit code.
[[nodiscard]] int runInspect(const Options& options, Output& out);
[[nodiscard]] int runPack(const Options& options, Output& out);
[[nodiscard]] int runUnpack(const Options& options, Output& out);

}  // namespace nuv::cli
