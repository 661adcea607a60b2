// The commands that work on files only: inspect, pack and unpack.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "cli/Options.h"
#include "cli/Output.h"

namespace nuv::cli {

// Why Vornex would refuse an image, in its own words, or empty when it would accept it.
struct ImageVerdict {
  std::uint64_t size = 0;
  std::string header;   // the 16 header bytes, non-printable ones as \xNN
  std::string version;  // the first five bytes, likewise
  std::string refusal;  // "Filesize is error", "Version is error", or empty
  std::string reason;   // the refusal explained for a person
};
[[nodiscard]] ImageVerdict judgeImage(std::span<const std::uint8_t> bytes, std::uint64_t size);

// Each returns the process exit code.
[[nodiscard]] int runInspect(const Options& options, Output& out);
[[nodiscard]] int runPack(const Options& options, Output& out);
[[nodiscard]] int runUnpack(const Options& options, Output& out);

}  // namespace nuv::cli
