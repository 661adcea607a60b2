// Stand-ins for the kernel and udev under the hidraw layer. Single-threaded.
#pragma once

#include <linux/hidraw.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "platform/hidraw/Seams.h"

namespace nuv::hidraw::test {

using Bytes = std::vector<std::uint8_t>;

// A hidraw character device or a plain (sysfs) file.
struct FakeFile {
  bool isDevice = true;
  dev_t rdev = 0;
  int openErrno = 0;
  Bytes content;  // plain files: what read() returns

  // Devices:
  std::uint32_t bus = 3;
  std::int16_t vendor = -1;  // as the kernel declares it: 0xFFFF reads as -1
  std::int16_t product = 0x0100;
  Bytes descriptor;
  int ioctlErrno = 0;
  std::deque<Bytes> inputReports;
  bool gone = false;  // unplugged: poll reports HUP, read EIO once the queue is empty
  int readErrno = 0;
  std::vector<int> writeErrnos;  // consumed one per write call, before writing
  std::size_t writeLimit = SIZE_MAX;
  std::vector<Bytes> written;
};

class FakeSystemCalls final : public SystemCalls {
 public:
  std::map<std::string, FakeFile> files;
  std::vector<int> openFlags;
  std::vector<unsigned long> ioctls;
  std::vector<int> pollTimeouts;
  int pollErrno = 0;
  int systemCallsOnDevices = 0;

  int openCount() const { return static_cast<int>(open_.size()); }

  int open(const char* path, int flags) override {
    openFlags.push_back(flags);
    const auto it = files.find(path);
    if (it == files.end()) return fail(ENOENT);
    if (it->second.openErrno) return fail(it->second.openErrno);
    const int fd = nextFd_++;
    open_[fd] = OpenFile{&it->second, 0};
    return fd;
  }
  int close(int fd) override {
    if (!open_.erase(fd)) return fail(EBADF);
    return 0;
  }
  ssize_t read(int fd, void* buffer, std::size_t count) override {
    OpenFile* f = find(fd);
    if (!f) return fail(EBADF);
    if (!f->file->isDevice) {
      const std::size_t n = std::min(count, f->file->content.size() - f->offset);
      std::memcpy(buffer, f->file->content.data() + f->offset, n);
      f->offset += n;
      return static_cast<ssize_t>(n);
    }
    ++systemCallsOnDevices;
    if (f->file->readErrno) return fail(f->file->readErrno);
    if (f->file->inputReports.empty()) return fail(f->file->gone ? EIO : EAGAIN);
    const Bytes report = f->file->inputReports.front();
    f->file->inputReports.pop_front();
    const std::size_t n = std::min(count, report.size());
    std::memcpy(buffer, report.data(), n);
    return static_cast<ssize_t>(n);
  }
  ssize_t write(int fd, const void* buffer, std::size_t count) override {
    OpenFile* f = find(fd);
    if (!f) return fail(EBADF);
    ++systemCallsOnDevices;
    if (!f->file->writeErrnos.empty()) {
      const int code = f->file->writeErrnos.front();
      f->file->writeErrnos.erase(f->file->writeErrnos.begin());
      return fail(code);
    }
    const std::size_t n = std::min(count, f->file->writeLimit);
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    f->file->written.emplace_back(bytes, bytes + n);
    return static_cast<ssize_t>(n);
  }
  int ioctl(int fd, unsigned long request, void* argument) override {
    OpenFile* f = find(fd);
    if (!f) return fail(EBADF);
    ++systemCallsOnDevices;
    ioctls.push_back(request);
    FakeFile& file = *f->file;
    if (file.ioctlErrno) return fail(file.ioctlErrno);
    if (request == HIDIOCGRAWINFO) {
      auto* info = static_cast<hidraw_devinfo*>(argument);
      info->bustype = file.bus;
      info->vendor = file.vendor;
      info->product = file.product;
      return 0;
    }
    if (request == HIDIOCGRDESCSIZE) {
      *static_cast<int*>(argument) = static_cast<int>(file.descriptor.size());
      return 0;
    }
    if (request == HIDIOCGRDESC) {
      auto* raw = static_cast<hidraw_report_descriptor*>(argument);
      if (raw->size > HID_MAX_DESCRIPTOR_SIZE) return fail(EINVAL);
      const std::size_t n = std::min<std::size_t>(raw->size, file.descriptor.size());
      std::memcpy(raw->value, file.descriptor.data(), n);
      return 0;
    }
    return fail(EINVAL);
  }
  int poll(pollfd* fds, nfds_t count, int timeoutMs) override {
    pollTimeouts.push_back(timeoutMs);
    if (pollErrno) return fail(pollErrno);
    int ready = 0;
    for (nfds_t i = 0; i < count; ++i) {
      OpenFile* f = find(fds[i].fd);
      fds[i].revents = 0;
      if (!f) {
        fds[i].revents = POLLNVAL;
      } else {
        ++systemCallsOnDevices;
        if (!f->file->inputReports.empty()) fds[i].revents |= POLLIN;
        if (f->file->gone) fds[i].revents |= POLLHUP | POLLERR;
      }
      if (fds[i].revents) ++ready;
    }
    return ready;
  }
  int fstat(int fd, struct stat* status) override {
    OpenFile* f = find(fd);
    if (!f) return fail(EBADF);
    *status = {};
    status->st_mode = f->file->isDevice ? S_IFCHR | 0600 : S_IFREG | 0444;
    status->st_rdev = f->file->rdev;
    return 0;
  }

 private:
  struct OpenFile {
    FakeFile* file;
    std::size_t offset;
  };
  static int fail(int code) {
    errno = code;
    return -1;
  }
  OpenFile* find(int fd) {
    const auto it = open_.find(fd);
    return it == open_.end() ? nullptr : &it->second;
  }
  std::map<int, OpenFile> open_;
  int nextFd_ = 3;
};

class FakeUdev final : public UdevBackend {
 public:
  std::vector<UdevRecord> present;
  std::deque<UdevRecord> events;
  std::optional<Error> enumerateError;
  std::optional<Error> monitorError;
  bool monitoring = false;

  Result<std::vector<UdevRecord>> enumerate() override {
    if (enumerateError) return *enumerateError;
    return present;
  }
  std::optional<Error> startMonitor() override {
    if (monitorError) return monitorError;
    monitoring = true;
    return std::nullopt;
  }
  int monitorFd() const override { return monitoring ? 42 : -1; }
  std::optional<UdevRecord> receiveEvent() override {
    if (events.empty()) return std::nullopt;
    UdevRecord record = events.front();
    events.pop_front();
    return record;
  }
};

}  // namespace nuv::hidraw::test
