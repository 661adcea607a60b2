#include "sim/uhid/UhidChannel.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <utility>

namespace nuv::sim::uhid {

namespace {

template <std::size_t N>
void copyText(std::uint8_t (&field)[N], const std::string& text) {
  const std::size_t n = std::min(text.size(), N - 1);  // the kernel wants it NUL-terminated
  std::memcpy(field, text.data(), n);
  field[n] = 0;
}

// The bytes of an event up to the end of its payload: the kernel takes short writes, so a
// report costs a few bytes rather than the whole 4 KiB union.
constexpr std::size_t kHeader = offsetof(uhid_event, u);

}  // namespace

nuv::Result<Channel> Channel::open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd >= 0) return Channel(fd);
  const int code = errno;
  nuv::Error error = nuv::Error::fromErrno("open " + path, code);
  if (code == ENOENT || code == ENODEV || code == ENXIO) {
    error.text +=
        " (this kernel offers no uhid device: load the uhid module with 'modprobe uhid',"
        " or use a kernel built with CONFIG_UHID)";
  } else if (code == EACCES || code == EPERM) {
    error.text += " (creating HID devices needs the right to open " + path +
                  ": run as root, or give your user access to it)";
  }
  return error;
}

Channel Channel::adopt(int fd) {
  return Channel(fd);
}

Channel::Channel(Channel&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

Channel& Channel::operator=(Channel&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

Channel::~Channel() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<nuv::Error> Channel::writeEvent(const uhid_event& event, std::size_t len,
                                              const char* what) {
  for (;;) {
    const ssize_t n = ::write(fd_, &event, len);
    if (n == static_cast<ssize_t>(len)) return std::nullopt;
    if (n >= 0) {
      return nuv::Error{std::string("write ") + what, 0,
                        "the uhid device took only part of the event"};
    }
    if (errno == EINTR) continue;
    return nuv::Error::fromErrno(std::string("write ") + what, errno);
  }
}

std::optional<nuv::Error> Channel::create(const Identity& identity) {
  if (identity.descriptor.size() > HID_MAX_DESCRIPTOR_SIZE) {
    return nuv::Error::message("the report descriptor is longer than the kernel allows");
  }
  std::memset(&out_, 0, sizeof out_);
  out_.type = UHID_CREATE2;
  auto& c = out_.u.create2;
  copyText(c.name, identity.name);
  copyText(c.phys, identity.phys);
  copyText(c.uniq, identity.uniq);
  c.rd_size = static_cast<std::uint16_t>(identity.descriptor.size());
  c.bus = identity.bus;
  c.vendor = identity.vendor;
  c.product = identity.product;
  c.version = identity.version;
  c.country = 0;
  std::memcpy(c.rd_data, identity.descriptor.data(), identity.descriptor.size());
  return writeEvent(out_, sizeof out_, "UHID_CREATE2");
}

std::optional<nuv::Error> Channel::destroy() {
  out_.type = UHID_DESTROY;
  return writeEvent(out_, kHeader, "UHID_DESTROY");
}

std::optional<nuv::Error> Channel::sendInput(const std::uint8_t* data, std::size_t len) {
  if (len > UHID_DATA_MAX) return nuv::Error::message("input report longer than UHID_DATA_MAX");
  out_.type = UHID_INPUT2;
  out_.u.input2.size = static_cast<std::uint16_t>(len);
  std::memcpy(out_.u.input2.data, data, len);
  return writeEvent(out_, kHeader + offsetof(uhid_input2_req, data) + len, "UHID_INPUT2");
}

std::optional<nuv::Error> Channel::refuseGetReport(std::uint32_t id) {
  out_.type = UHID_GET_REPORT_REPLY;
  out_.u.get_report_reply.id = id;
  out_.u.get_report_reply.err = EIO;
  out_.u.get_report_reply.size = 0;
  return writeEvent(out_, kHeader + offsetof(uhid_get_report_reply_req, data),
                    "UHID_GET_REPORT_REPLY");
}

std::optional<nuv::Error> Channel::refuseSetReport(std::uint32_t id) {
  out_.type = UHID_SET_REPORT_REPLY;
  out_.u.set_report_reply.id = id;
  out_.u.set_report_reply.err = EIO;
  return writeEvent(out_, kHeader + sizeof(uhid_set_report_reply_req), "UHID_SET_REPORT_REPLY");
}

nuv::IoStatus Channel::readEvent(uhid_event& event, nuv::Error* error) {
  for (;;) {
    const ssize_t n = ::read(fd_, &event, sizeof event);
    if (n > 0) {
      if (static_cast<std::size_t>(n) < sizeof event.type) break;
      // A short event (a test's stand-in for the kernel may send only what it fills) reads as
      // if the rest were zero.
      if (static_cast<std::size_t>(n) < sizeof event) {
        std::memset(reinterpret_cast<std::uint8_t*>(&event) + n, 0, sizeof event - n);
      }
      return nuv::IoStatus::Ok;
    }
    if (n == 0) return nuv::IoStatus::Gone;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return nuv::IoStatus::TimedOut;
    if (error) *error = nuv::Error::fromErrno("read /dev/uhid", errno);
    return nuv::IoStatus::Failed;
  }
  if (error) *error = nuv::Error::message("read /dev/uhid: an event shorter than its type field");
  return nuv::IoStatus::Failed;
}

}  // namespace nuv::sim::uhid
