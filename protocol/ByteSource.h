// Where an update image is read from: a file, or bytes in memory. Both downloaders' walks read
// through this interface, so a test can stand memory (or a failing source) behind them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "protocol/Error.h"
#include "protocol/Result.h"

namespace nuv {

// A read of a byte stream, not an I/O call on a device (hidraw's IoResult): a short count with
// no error is the end of the data, and a file never times out, goes away or is cancelled, so a
// nuv::IoStatus here would only repeat whether `error` is set.
struct ReadOutcome {
  std::size_t count = 0;       // bytes delivered; fewer than asked with no error: end of data
  std::optional<Error> error;  // set when the read failed; count is then what arrived before
};

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to n bytes at the current offset and moves past them.
  [[nodiscard]] virtual ReadOutcome read(std::uint8_t* dst, std::size_t n) = 0;
  // Moves to an absolute offset; an offset past the end is allowed (reads there deliver 0).
  [[nodiscard]] virtual std::optional<Error> seek(std::uint64_t offset) = 0;
  [[nodiscard]] virtual std::uint64_t offset() const = 0;
  // Size when the source was opened.
  [[nodiscard]] virtual std::uint64_t size() const = 0;
  [[nodiscard]] bool atEnd() const { return offset() >= size(); }
};

// Reads from bytes it does not own. For tests it can be told to fail every read that starts
// at or after a given offset, as a failing disk would.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  void failReadsFrom(std::uint64_t offset, int code) { failFrom_ = offset, failCode_ = code; }

  [[nodiscard]] ReadOutcome read(std::uint8_t* dst, std::size_t n) override;
  [[nodiscard]] std::optional<Error> seek(std::uint64_t offset) override;
  [[nodiscard]] std::uint64_t offset() const override { return offset_; }
  [[nodiscard]] std::uint64_t size() const override { return bytes_.size(); }

 private:
  std::span<const std::uint8_t> bytes_;
  std::uint64_t offset_ = 0;
  std::optional<std::uint64_t> failFrom_;
  int failCode_ = 0;
};

// A regular file opened read-only. Opening refuses what is not a regular file (a directory,
// a device node), so that its failure is told at open rather than as odd data later.
class FileSource final : public ByteSource {
 public:
  [[nodiscard]] static Result<std::unique_ptr<FileSource>> open(const std::string& path);
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  [[nodiscard]] ReadOutcome read(std::uint8_t* dst, std::size_t n) override;
  [[nodiscard]] std::optional<Error> seek(std::uint64_t offset) override;
  [[nodiscard]] std::uint64_t offset() const override { return offset_; }
  [[nodiscard]] std::uint64_t size() const override { return size_; }

 private:
  FileSource(std::FILE* file, std::uint64_t size) : file_(file), size_(size) {}
  std::FILE* file_;
  std::uint64_t size_;
  std::uint64_t offset_ = 0;
};

}  // namespace nuv
