// The check of a chosen update image before anything is sent to the device.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "ByteSource.h"

namespace nuv::mac {

// Nothing when the file at `path` can be opened, is exactly one update image long and reads
// to its end; otherwise the reason, in words for the user. The file is only read.
[[nodiscard]] std::optional<std::string> updateImageProblem(const std::string& path);

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
