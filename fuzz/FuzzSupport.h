// What the fuzz targets share: a folder for the files a target needs, a check that stops the
// fuzzer, with its reason, when an invariant of the code under test does not hold (unlike assert()
// it stays on in release builds), and a log sink that drops the programs' diagnostic lines, which
// would otherwise go to the system log at every input.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "protocol/Log.h"

#define FUZZ_CHECK(condition)                                                                \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (false)

namespace fuzz {

class DroppedLog final : public nuv::LogSink {
 public:
  void write(std::string_view) override {}
};

// Installs a DroppedLog for the calling thread for as long as it lives.
class QuietLog {
 public:
  QuietLog() : scope_(sink_) {}

 private:
  DroppedLog sink_;
  nuv::ScopedLogSink scope_;
};

// A folder of its own for one fuzzer process, removed when it ends; on a memory file system
// when there is one, as the image tools sync what they write and a disk flush per input would
// make the fuzzer crawl.
class ScratchDir {
 public:
  ScratchDir() {
    const char* tmpdir = std::getenv("TMPDIR");
    for (std::string base : {std::string("/dev/shm"), std::string(tmpdir ? tmpdir : "/tmp")}) {
      std::string pattern = base + "/nuv-fuzz-XXXXXX";
      if (::mkdtemp(pattern.data()) != nullptr) {
        dir_ = pattern;
        break;
      }
    }
    FUZZ_CHECK(!dir_.empty());
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  [[nodiscard]] std::string path(std::string_view name) const {
    return dir_ + "/" + std::string(name);
  }

 private:
  std::string dir_;
};

}  // namespace fuzz
