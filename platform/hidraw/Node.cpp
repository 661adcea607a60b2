#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <string_view>

#include "platform/hidraw/Hidraw.h"
#include "protocol/Framing.h"

namespace nuv::hidraw {
namespace {

IoResult failure(IoStatus status, Error error) {
  return {status, 0, std::move(error)};
}

IoResult notOpenForIo(const std::string& path) {
  return failure(IoStatus::Failed, Error::message(path + " is not open for reading or writing"));
}

// The HID_ID line of a sysfs uevent file.
std::optional<std::string_view> hidIdLine(std::string_view uevent) {
  constexpr std::string_view kKey = "HID_ID=";
  std::size_t pos = 0;
  while (pos < uevent.size()) {
    std::size_t end = uevent.find('\n', pos);
    if (end == std::string_view::npos) end = uevent.size();
    const std::string_view line = uevent.substr(pos, end - pos);
    if (line.starts_with(kKey)) return line.substr(kKey.size());
    pos = end + 1;
  }
  return std::nullopt;
}

}  // namespace

Node::Node(SystemCalls& sys, int fd, OpenMode mode, std::string path)
    : sys_(&sys), fd_(fd), mode_(mode), path_(std::move(path)) {}

Result<Node> Node::open(const std::string& path, OpenMode mode, SystemCalls& sys) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case OpenMode::ReadWrite:
      flags |= O_RDWR | O_NONBLOCK;
      break;
    case OpenMode::ReadOnly:
      flags |= O_RDONLY | O_NONBLOCK;
      break;
    case OpenMode::QueryOnly:
      flags |= O_PATH;
      break;
  }
  const int fd = sys.open(path.c_str(), flags);
  if (fd < 0) return Error::fromErrno("open " + path, errno);
  return Node(sys, fd, mode, path);
}

Node::Node(Node&& other) noexcept
    : sys_(other.sys_), fd_(other.fd_), mode_(other.mode_), path_(std::move(other.path_)) {
  other.fd_ = -1;
}

Node& Node::operator=(Node&& other) noexcept {
  if (this != &other) {
    close();
    sys_ = other.sys_;
    fd_ = other.fd_;
    mode_ = other.mode_;
    path_ = std::move(other.path_);
    other.fd_ = -1;
  }
  return *this;
}

Node::~Node() {
  close();
}

void Node::close() {
  // close() on Linux releases the descriptor even when it reports an error, so there is
  // nothing to retry and nothing the caller could do about it.
  if (fd_ >= 0) (void)sys_->close(fd_);
  fd_ = -1;
}

Result<std::string> Node::sysfsDeviceDir() {
  struct stat status {};
  if (sys_->fstat(fd_, &status) != 0) return Error::fromErrno("fstat " + path_, errno);
  if (!S_ISCHR(status.st_mode)) return Error::message(path_ + " is not a character device");
  return "/sys/dev/char/" + std::to_string(major(status.st_rdev)) + ":" +
         std::to_string(minor(status.st_rdev)) + "/device/";
}

Result<std::vector<std::uint8_t>> Node::readSysfsFile(const std::string& path) {
  const int fd = sys_->open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Error::fromErrno("open " + path, errno);
  // One byte more than any file we read may hold, so that an oversized one is noticed.
  std::vector<std::uint8_t> content(kMaxDescriptorSize + 1);
  std::size_t filled = 0;
  std::optional<Error> error;
  while (filled < content.size()) {
    const ssize_t n = sys_->read(fd, content.data() + filled, content.size() - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = Error::fromErrno("read " + path, errno);
      break;
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  (void)sys_->close(fd);
  if (error) return *error;
  if (filled > kMaxDescriptorSize) return Error::message(path + " is larger than expected");
  content.resize(filled);
  return content;
}

Result<RawInfo> Node::rawInfo() {
  if (fd_ < 0) return Error::message(path_ + " is not open");
  if (mode_ == OpenMode::QueryOnly) {
    auto dir = sysfsDeviceDir();
    if (!dir) return dir.error();
    auto uevent = readSysfsFile(dir.value() + "uevent");
    if (!uevent) return uevent.error();
    const std::string_view text(reinterpret_cast<const char*>(uevent.value().data()),
                                uevent.value().size());
    const auto line = hidIdLine(text);
    const auto id = line ? parseHidId(*line) : std::nullopt;
    if (!id) return Error::message(path_ + ": no usable HID_ID in its sysfs uevent");
    return RawInfo{id->bus, id->vendorId, id->productId};
  }
  hidraw_devinfo info{};
  if (sys_->ioctl(fd_, HIDIOCGRAWINFO, &info) != 0)
    return Error::fromErrno("ioctl(HIDIOCGRAWINFO) " + path_, errno);
  // The kernel declares vendor and product as signed 16-bit: 0xFFFF arrives as -1.
  return RawInfo{info.bustype, static_cast<std::uint16_t>(info.vendor),
                 static_cast<std::uint16_t>(info.product)};
}

Result<std::vector<std::uint8_t>> Node::reportDescriptor() {
  if (fd_ < 0) return Error::message(path_ + " is not open");
  if (mode_ == OpenMode::QueryOnly) {
    auto dir = sysfsDeviceDir();
    if (!dir) return dir.error();
    auto descriptor = readSysfsFile(dir.value() + "report_descriptor");
    if (descriptor && descriptor.value().empty())
      return Error::message(path_ + ": empty report descriptor");
    return descriptor;
  }
  int size = 0;
  if (sys_->ioctl(fd_, HIDIOCGRDESCSIZE, &size) != 0)
    return Error::fromErrno("ioctl(HIDIOCGRDESCSIZE) " + path_, errno);
  if (size <= 0 || static_cast<std::size_t>(size) > kMaxDescriptorSize)
    return Error::message(path_ + ": report descriptor size " + std::to_string(size) +
                          " out of range");
  auto raw = std::make_unique<hidraw_report_descriptor>();
  raw->size = static_cast<std::uint32_t>(size);
  if (sys_->ioctl(fd_, HIDIOCGRDESC, raw.get()) != 0)
    return Error::fromErrno("ioctl(HIDIOCGRDESC) " + path_, errno);
  return std::vector<std::uint8_t>(raw->value, raw->value + size);
}

Result<ReportCaps> Node::capabilities() {
  auto descriptor = reportDescriptor();
  if (!descriptor) return descriptor.error();
  return parseReportDescriptor(descriptor.value());
}

IoResult Node::waitReadable(int timeoutMs) {
  if (fd_ < 0 || mode_ == OpenMode::QueryOnly) return notOpenForIo(path_);
  pollfd entry{fd_, POLLIN, 0};
  const int n = sys_->poll(&entry, 1, timeoutMs);
  if (n < 0 && errno == EINTR) return {IoStatus::TimedOut, 0, std::nullopt};
  if (n < 0) return failure(IoStatus::Failed, Error::fromErrno("poll " + path_, errno));
  if (n == 0) return {IoStatus::TimedOut, 0, std::nullopt};
  if (entry.revents & POLLIN) return {IoStatus::Ok, 0, std::nullopt};
  if (entry.revents & (POLLHUP | POLLERR))
    return failure(IoStatus::Gone, Error::fromErrno("poll " + path_, ENODEV));
  return failure(IoStatus::Failed, Error::fromErrno("poll " + path_, EBADF));
}

IoResult Node::read(std::span<std::uint8_t> buffer) {
  if (fd_ < 0 || mode_ == OpenMode::QueryOnly) return notOpenForIo(path_);
  const ssize_t n = sys_->read(fd_, buffer.data(), buffer.size());
  if (n > 0) return {IoStatus::Ok, static_cast<std::size_t>(n), std::nullopt};
  if (n == 0) return {IoStatus::TimedOut, 0, std::nullopt};
  const int code = errno;
  if (code == EAGAIN || code == EWOULDBLOCK || code == EINTR)
    return {IoStatus::TimedOut, 0, std::nullopt};
  // hidraw answers EIO to a read once the device has gone and its queue is empty.
  const IoStatus status = code == EIO || code == ENODEV ? IoStatus::Gone : IoStatus::Failed;
  return failure(status, Error::fromErrno("read " + path_, code));
}

IoResult Node::readWithReportId(std::span<std::uint8_t> buffer, bool deviceUsesReportIds) {
  if (buffer.empty()) return failure(IoStatus::Failed, Error::message("read buffer is empty"));
  if (deviceUsesReportIds) return read(buffer);
  buffer[0] = kReportId;
  IoResult result = read(buffer.subspan(1));
  if (result.status == IoStatus::Ok) ++result.count;
  return result;
}

IoResult Node::write(std::span<const std::uint8_t> report) {
  if (fd_ < 0 || mode_ != OpenMode::ReadWrite) return notOpenForIo(path_);
  if (report.empty()) return failure(IoStatus::Failed, Error::message("empty output report"));
  ssize_t n;
  do {
    n = sys_->write(fd_, report.data(), report.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    const int code = errno;
    // hidraw answers ENODEV once the device has gone; the USB stack ESHUTDOWN mid-unplug.
    const IoStatus status = code == ENODEV || code == ESHUTDOWN ? IoStatus::Gone : IoStatus::Failed;
    return failure(status, Error::fromErrno("write " + path_, code));
  }
  if (static_cast<std::size_t>(n) != report.size())
    return {IoStatus::Failed, static_cast<std::size_t>(n),
            Error::message("write " + path_ + ": " + std::to_string(n) + " of " +
                           std::to_string(report.size()) + " bytes written")};
  return {IoStatus::Ok, report.size(), std::nullopt};
}

}  // namespace nuv::hidraw
