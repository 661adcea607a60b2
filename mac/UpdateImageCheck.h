// The check of a chosen update image before anything is sent to the device.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "protocol/ByteSource.h"

namespace nuv::mac {

// Why a file is refused as an update image: which kind of problem, for callers that act on it,
// and the reason in words for the user.
struct ImageProblem {
  enum class Kind {
    Unreadable,  // it cannot be opened or read
    WrongSize,   // it is not exactly one update image long
    Changed,     // it changed while it was read
  };
  Kind kind = Kind::Unreadable;
  std::string text;
};

// Nothing when the file at `path` can be opened, is exactly one update image long and reads
// to its end; otherwise the problem. The file is only read.
[[nodiscard]] std::optional<ImageProblem> updateImageProblem(const std::string& path);

// Reads an opened update image and turns a read that ends before the size the file had when
// it was opened into a read error: the file shrank on disk, and the walk would otherwise send
// zeros where its data were. Reads past that size deliver nothing, as ever.
class ShrinkGuardSource final : public ByteSource {
 public:
  explicit ShrinkGuardSource(std::unique_ptr<FileSource> file) : file_(std::move(file)) {}
  [[nodiscard]] ReadOutcome read(std::uint8_t* dst, std::size_t n) override;
  [[nodiscard]] std::optional<Error> seek(std::uint64_t offset) override {
    return file_->seek(offset);
  }
  [[nodiscard]] std::uint64_t offset() const override { return file_->offset(); }
  [[nodiscard]] std::uint64_t size() const override { return file_->size(); }

 private:
  std::unique_ptr<FileSource> file_;
};

}  // namespace nuv::mac
