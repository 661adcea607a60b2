// The character device /dev/uhid, through which a user program becomes a HID device of the
// kernel: it writes UHID_CREATE2 with a report descriptor, reads what hosts send as UHID_OUTPUT
// events and writes input reports as UHID_INPUT2. The kernel then shows the device as a
// /dev/hidrawN node like any USB HID device.
//
// Not thread-safe: one thread owns a channel. Every call that can fail returns the error with
// the failing call's name and errno; none throws. The channel closes its descriptor when
// destroyed, which also makes the kernel remove a device still created.
#pragma once

#include <linux/uhid.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "protocol/Error.h"
#include "protocol/IoStatus.h"
#include "protocol/Result.h"
#include "sim/uhid/UhidIdentity.h"

namespace nuv::sim::uhid {

inline constexpr const char* kDefaultUhidPath = "/dev/uhid";

class Channel {
 public:
  // Opens the uhid device node (non-blocking). The error says in words what the user can do
  // when the node is missing (no uhid support in this kernel) or not theirs to open.
  [[nodiscard]] static nuv::Result<Channel> open(const std::string& path = kDefaultUhidPath);
  // Takes over any descriptor that speaks the uhid protocol, such as one end of a
  // SOCK_SEQPACKET socket pair whose other end plays the kernel in a test.
  [[nodiscard]] static Channel adopt(int fd);

  Channel(Channel&& other) noexcept;
  Channel& operator=(Channel&& other) noexcept;
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;
  ~Channel();

  [[nodiscard]] int fd() const { return fd_; }

  // UHID_CREATE2. The name, phys and uniq texts are cut to the kernel's field sizes.
  [[nodiscard]] std::optional<nuv::Error> create(const Identity& identity);
  // UHID_DESTROY: the kernel removes the device; its hidraw node and open handles see it go.
  [[nodiscard]] std::optional<nuv::Error> destroy();
  // UHID_INPUT2 with `len` bytes (at most UHID_DATA_MAX). Writes only the bytes used.
  [[nodiscard]] std::optional<nuv::Error> sendInput(const std::uint8_t* data, std::size_t len);
  // Answers a host's feature or report request (UHID_GET_REPORT / UHID_SET_REPORT) with an
  // error code; the update device has no feature reports. Unanswered, such a request would
  // block the host's ioctl until the kernel gives up on it.
  [[nodiscard]] std::optional<nuv::Error> refuseGetReport(std::uint32_t id);
  [[nodiscard]] std::optional<nuv::Error> refuseSetReport(std::uint32_t id);

  // Reads one event into `event` without blocking: Ok, TimedOut when none is there yet, Gone
  // when the other end closed, or Failed, and then *error says why. Never Cancelled.
  [[nodiscard]] nuv::IoStatus readEvent(uhid_event& event, nuv::Error* error);

 private:
  explicit Channel(int fd) : fd_(fd) {}
  [[nodiscard]] std::optional<nuv::Error> writeEvent(const uhid_event& event, std::size_t len,
                                                     const char* what);
  int fd_ = -1;
  uhid_event out_{};  // one buffer for everything written: nothing allocated per report
};

}  // namespace nuv::sim::uhid
