// The two seams under the hidraw layer, so that it runs and is tested without a kernel HID
// device: the system calls on device nodes and sysfs files, and libudev. The real
// implementations are in RealSeams.cpp; tests bring fakes.
#pragma once

#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/Result.h"

namespace nuv::hidraw {

// The calls behave as their POSIX namesakes: on failure they return -1 and leave the reason in
// errno, which the layer captures at once with the call's name. Implementations must be
// callable from several threads at once (the real one is; a fake used across threads must
// lock).
// Per call, the errno values that the layer or the backends above it tell apart, which a fake
// gives to stand for each situation; any other value is a plain failure, passed on in the Error.
class SystemCalls {
 public:
  virtual ~SystemCalls() = default;
  // EACCES or EPERM: no right to the node; ENOENT, ENODEV or ENXIO: no such node, or its
  // device went.
  virtual int open(const char* path, int flags) = 0;
  // Not looked at: Linux releases the descriptor even when close reports an error.
  virtual int close(int fd) = 0;
  // 0, EAGAIN, EWOULDBLOCK or EINTR: no report now (TimedOut); EIO or ENODEV: the device went
  // (Gone; hidraw answers EIO once the device is gone and its queue is empty).
  virtual ssize_t read(int fd, void* buffer, std::size_t count) = 0;
  // EINTR: retried; ENODEV or ESHUTDOWN: the device went (Gone). Fewer bytes than asked is a
  // short write (Failed).
  virtual ssize_t write(int fd, const void* buffer, std::size_t count) = 0;
  // HIDIOCGRAWINFO, HIDIOCGRDESCSIZE, HIDIOCGRDESC: ENODEV after an unplug; passed on as it is.
  virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
  // EINTR: TimedOut, as a time-out (0) is. POLLHUP or POLLERR without POLLIN in revents: the
  // device went (Gone); other revents without POLLIN: Failed.
  virtual int poll(pollfd* fds, nfds_t count, int timeoutMs) = 0;
  // Finds a QueryOnly node's sysfs entry; a failure is passed on as it is.
  virtual int fstat(int fd, struct stat* status) = 0;
};

// The process's real system calls. Stateless; lives for the whole program.
[[nodiscard]] SystemCalls& realSystemCalls();

// One hidraw node as udev describes it, reduced to plain text so that fakes are easy to write.
struct UdevRecord {
  std::string action;     // "add", "remove", ... for monitor events; empty from enumeration
  std::string devnode;    // "/dev/hidraw3"; may be empty when udev knows none
  std::string syspath;    // the node's sysfs path; never empty
  std::string hidId;      // HID_ID of the parent "hid" device; empty when there is none
  std::string bcdDevice;  // bcdDevice of the USB device above it (hex text); empty if not USB
  dev_t devnum = 0;
};

// libudev behind a small interface. Single-threaded: one thread uses an object at a time.
class UdevBackend {
 public:
  virtual ~UdevBackend() = default;
  // The hidraw nodes present now (subsystem "hidraw"), in udev's order. Fails with the libudev
  // call that failed and its errno (out of memory, or sysfs unreadable).
  [[nodiscard]] virtual Result<std::vector<UdevRecord>> enumerate() = 0;
  // Starts listening to udev's events of subsystem "hidraw" (after udev's rules ran, so the
  // node's permissions are final). Calling it again while listening does nothing. Fails with
  // the libudev or fcntl call that failed and its errno (no netlink socket, e.g. in a container
  // without udev).
  [[nodiscard]] virtual std::optional<Error> startMonitor() = 0;
  // Readable when an event is pending; -1 before startMonitor succeeded. Owned by the backend.
  [[nodiscard]] virtual int monitorFd() const = 0;
  // The next pending event without waiting, or nothing when none is pending.
  [[nodiscard]] virtual std::optional<UdevRecord> receiveEvent() = 0;
};

// The libudev implementation. Fails when libudev cannot be initialised.
[[nodiscard]] Result<std::unique_ptr<UdevBackend>> makeLibudevBackend();

}  // namespace nuv::hidraw
