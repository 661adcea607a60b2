// Whole-file reads and careful writes for the image tools.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/Error.h"
#include "protocol/Result.h"

namespace nuv::cli {

struct FileBytes {
  std::vector<std::uint8_t> bytes;  // the first min(size, limit) bytes
  std::uint64_t size = 0;           // the file's size
};

// Reads a regular file, at most its first `limit` bytes (a wrong file of gigabytes is not read
// into memory just to be refused); refuses directories and what cannot be read.
[[nodiscard]] nuv::Result<FileBytes> readFile(const std::string& path, std::uint64_t limit);

// Writes `bytes` to `path` so that the file appears complete or not at all: into a temporary
// file beside it, synced, then linked (no overwrite) or renamed (overwrite) into place. An
// existing file is left untouched unless `overwrite`.
[[nodiscard]] std::optional<nuv::Error> writeFileAtomically(const std::string& path,
                                                            std::span<const std::uint8_t> bytes,
                                                            bool overwrite);

// Whether both paths name one existing file (the same inode, through links or not).
[[nodiscard]] bool sameFile(const std::string& a, const std::string& b);

}  // namespace nuv::cli
