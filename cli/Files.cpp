#include "cli/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "protocol/ByteSource.h"

namespace nuv::cli {

nuv::Result<FileBytes> readFile(const std::string& path, std::uint64_t limit) {
  auto opened = nuv::FileSource::open(path);
  if (!opened) return opened.error();
  auto& file = *opened.value();
  FileBytes out;
  out.size = file.size();
  out.bytes.resize(static_cast<std::size_t>(std::min(out.size, limit)));
  const nuv::ReadOutcome got = file.read(out.bytes.data(), out.bytes.size());
  if (got.error) return nuv::Error{got.error->call + " " + path, got.error->code, got.error->text};
  if (got.count < out.bytes.size())
    return nuv::Error{"read " + path, 0, "the file got shorter while it was read"};
  return out;
}

std::optional<nuv::Error> writeFileAtomically(const std::string& path,
                                              std::span<const std::uint8_t> bytes, bool overwrite) {
  struct stat existing {};
  if (::lstat(path.c_str(), &existing) == 0) {
    if (S_ISDIR(existing.st_mode))
      return nuv::Error{"create " + path, EISDIR, "is a folder; give the name of a file in it"};
    if (!overwrite)
      return nuv::Error{"create " + path, EEXIST, "file exists (use --force to replace it)"};
    // --force replaces files, never a directory, a device, a FIFO or a socket: the rename would
    // put a regular file in the place of a device node, for one.
    const auto type = existing.st_mode & S_IFMT;
    if (type != S_IFREG && type != S_IFLNK)
      return nuv::Error{"create " + path, EEXIST, "is not a regular file; it is not replaced"};
  }

  std::string temp = path + ".tmp-XXXXXX";
  const int fd = ::mkstemp(temp.data());
  // The temporary file is ours, not the user's: a failure names the file they asked for.
  if (fd < 0) return nuv::Error::fromErrno("create " + path, errno);
  auto fail = [&](const char* call) {
    nuv::Error e = nuv::Error::fromErrno(std::string(call) + " " + path, errno);
    ::close(fd);
    ::unlink(temp.c_str());
    return e;
  };
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail("write");
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fchmod(fd, 0644) != 0) return fail("chmod");
  if (::fsync(fd) != 0) return fail("fsync");
  if (::close(fd) != 0) {
    nuv::Error e = nuv::Error::fromErrno("close " + path, errno);
    ::unlink(temp.c_str());
    return e;
  }
  // link() refuses to replace: another process that created the file meanwhile keeps it.
  int placed =
      overwrite ? ::rename(temp.c_str(), path.c_str()) : ::link(temp.c_str(), path.c_str());
  int code = errno;
  if (!overwrite && placed != 0 && (code == EPERM || code == ENOTSUP || code == ENOSYS)) {
    // File systems without hard links (FAT on a USB stick): check, then rename. The window in
    // between is as small as it can be made there.
    if (::lstat(path.c_str(), &existing) == 0) {
      code = EEXIST;
    } else {
      placed = ::rename(temp.c_str(), path.c_str());
      code = errno;
      if (placed == 0) return std::nullopt;
    }
  }
  if (!overwrite || placed != 0) ::unlink(temp.c_str());
  if (placed != 0) {
    if (code == EEXIST)
      return nuv::Error{"create " + path, EEXIST, "file exists (use --force to replace it)"};
    return nuv::Error::fromErrno(std::string(overwrite ? "rename " : "link ") + path, code);
  }
  return std::nullopt;
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

}  // namespace nuv::cli
