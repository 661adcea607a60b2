#include "cli/TappedSystemCalls.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace nuv::cli {
namespace {

class TappedSystemCalls final : public nuv::hidraw::SystemCalls {
 public:
  TappedSystemCalls(nuv::hidraw::SystemCalls& inner, nuv::SessionTap& tap)
      : inner_(inner), tap_(tap) {}

  int open(const char* path, int flags) override {
    const int fd = inner_.open(path, flags);
    // O_PATH handles only look at a node; sysfs and other files are no device's reports.
    const bool deviceNode =
        path != nullptr && std::string_view(path).starts_with("/dev/") && (flags & O_PATH) == 0;
    if (fd >= 0 && deviceNode) {
      std::lock_guard lock(mutex_);
      tapped_.insert(fd);
    }
    return fd;
  }
  int close(int fd) override {
    {
      std::lock_guard lock(mutex_);
      tapped_.erase(fd);
    }
    return inner_.close(fd);
  }
  // A tapped read or write and its record happen under one lock, so that the record has them
  // in the order the device saw them: a reply that arrives while its command's write() is still
  // returning is recorded after the command, not before it. Node reads never block (the node
  // is non-blocking), so the lock is held for a system call's time at most.
  ssize_t read(int fd, void* buffer, std::size_t count) override {
    if (!isTapped(fd)) return inner_.read(fd, buffer, count);
    std::lock_guard order(order_);
    const ssize_t n = inner_.read(fd, buffer, count);
    const int error = errno;
    {
      if (n > 0) {
        tap_.event(nuv::SessionEventKind::Received,
                   {static_cast<const std::uint8_t*>(buffer), static_cast<std::size_t>(n)});
      } else if (n < 0 && error == ENODEV) {
        tap_.event(nuv::SessionEventKind::Gone, {});
      }
    }
    errno = error;
    return n;
  }
  ssize_t write(int fd, const void* buffer, std::size_t count) override {
    if (!isTapped(fd)) return inner_.write(fd, buffer, count);
    std::lock_guard order(order_);
    const ssize_t n = inner_.write(fd, buffer, count);
    const int error = errno;
    {
      const std::span<const std::uint8_t> report(static_cast<const std::uint8_t*>(buffer), count);
      if (n >= 0) {
        tap_.event(nuv::SessionEventKind::Sent, report);
      } else {
        char text[96];
        std::snprintf(text, sizeof text, "write: %s", std::strerror(error));
        tap_.event(nuv::SessionEventKind::SendFailed, report, text);
      }
    }
    errno = error;
    return n;
  }
  int ioctl(int fd, unsigned long request, void* argument) override {
    return inner_.ioctl(fd, request, argument);
  }
  int poll(pollfd* fds, nfds_t count, int timeoutMs) override {
    return inner_.poll(fds, count, timeoutMs);
  }
  int fstat(int fd, struct stat* status) override { return inner_.fstat(fd, status); }

 private:
  [[nodiscard]] bool isTapped(int fd) {
    std::lock_guard lock(mutex_);
    return tapped_.contains(fd);
  }

  nuv::hidraw::SystemCalls& inner_;
  nuv::SessionTap& tap_;
  std::mutex mutex_;  // guards tapped_
  std::set<int> tapped_;
  std::mutex order_;  // held across a tapped read or write and its record
};

}  // namespace

std::unique_ptr<nuv::hidraw::SystemCalls> makeTappedSystemCalls(nuv::hidraw::SystemCalls& inner,
                                                                nuv::SessionTap& tap) {
  return std::make_unique<TappedSystemCalls>(inner, tap);
}

}  // namespace nuv::cli
