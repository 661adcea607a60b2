#include "protocol/ByteSource.h"

#include <sys/stat.h>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace nuv {

ReadOutcome MemorySource::read(std::uint8_t* dst, std::size_t n) {
  if (failFrom_ && offset_ >= *failFrom_) return {0, Error::fromErrno("read", failCode_)};
  std::size_t count = 0;
  if (offset_ < bytes_.size()) {
    count = static_cast<std::size_t>(std::min<std::uint64_t>(n, bytes_.size() - offset_));
    std::memcpy(dst, bytes_.data() + offset_, count);
  }
  offset_ += count;
  return {count, std::nullopt};
}

std::optional<Error> MemorySource::seek(std::uint64_t offset) {
  offset_ = offset;
  return std::nullopt;
}

Result<std::unique_ptr<FileSource>> FileSource::open(const std::string& path) {
#ifdef _WIN32
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return Error::fromErrno("open " + path, errno);
#else
  // Non-blocking, so that a FIFO without a writer (or a device that waits for a carrier) is
  // refused below instead of holding the program in open() for ever.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Error::fromErrno("open " + path, errno);
  std::FILE* file = nullptr;
  if (::fcntl(fd, F_SETFL, 0) != 0 || (file = ::fdopen(fd, "rb")) == nullptr) {
    const int code = errno;
    ::close(fd);
    return Error::fromErrno("open " + path, code);
  }
#endif
  struct stat info {};
  if (fstat(fileno(file), &info) != 0) {
    const int code = errno;
    std::fclose(file);
    return Error::fromErrno("stat " + path, code);
  }
  if ((info.st_mode & S_IFMT) != S_IFREG) {
    std::fclose(file);
    return Error{"open " + path, EISDIR,
                 (info.st_mode & S_IFMT) == S_IFDIR ? "is a directory" : "not a regular file"};
  }
  return std::unique_ptr<FileSource>(
      new FileSource(file, static_cast<std::uint64_t>(info.st_size)));
}

FileSource::~FileSource() {
  std::fclose(file_);
}

ReadOutcome FileSource::read(std::uint8_t* dst, std::size_t n) {
  const std::size_t count = std::fread(dst, 1, n, file_);
  offset_ += count;
  if (count < n && std::ferror(file_)) {
    const int code = errno != 0 ? errno : EIO;
    std::clearerr(file_);
    return {count, Error::fromErrno("read", code)};
  }
  return {count, std::nullopt};
}

std::optional<Error> FileSource::seek(std::uint64_t offset) {
  // Image files are 64 KiB; an offset that does not fit a long is refused rather than cut.
  if (offset > static_cast<std::uint64_t>(0x7FFFFFFF)) return Error::message("seek past 2 GiB");
  if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0) {
    return Error::fromErrno("seek", errno);
  }
  offset_ = offset;
  return std::nullopt;
}

}  // namespace nuv
