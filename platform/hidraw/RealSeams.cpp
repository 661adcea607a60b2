// The real system calls and libudev behind the seams of Seams.h.
#include <fcntl.h>
#include <libudev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/hidraw/Seams.h"

namespace nuv::hidraw {
namespace {

class PosixCalls final : public SystemCalls {
 public:
  int open(const char* path, int flags) override { return ::open(path, flags); }
  int close(int fd) override { return ::close(fd); }
  ssize_t read(int fd, void* buffer, std::size_t count) override {
    return ::read(fd, buffer, count);
  }
  ssize_t write(int fd, const void* buffer, std::size_t count) override {
    return ::write(fd, buffer, count);
  }
  int ioctl(int fd, unsigned long request, void* argument) override {
    return ::ioctl(fd, request, argument);
  }
  int poll(pollfd* fds, nfds_t count, int timeoutMs) override {
    return ::poll(fds, count, timeoutMs);
  }
  int fstat(int fd, struct stat* status) override { return ::fstat(fd, status); }
};

std::string text(const char* value) {
  return value ? value : "";
}

// Fills everything but the action from a udev device. Parent lookups read sysfs, which is
// gone for a removed node; those fields then stay empty and the caller must not need them.
UdevRecord recordOf(udev_device* device) {
  UdevRecord record;
  record.action = text(udev_device_get_action(device));
  record.devnode = text(udev_device_get_devnode(device));
  record.syspath = text(udev_device_get_syspath(device));
  record.devnum = udev_device_get_devnum(device);
  // Parents are owned by the child device; they are not unreferenced here.
  if (udev_device* hid = udev_device_get_parent_with_subsystem_devtype(device, "hid", nullptr))
    record.hidId = text(udev_device_get_property_value(hid, "HID_ID"));
  if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device"))
    record.bcdDevice = text(udev_device_get_sysattr_value(usb, "bcdDevice"));
  return record;
}

class Libudev final : public UdevBackend {
 public:
  explicit Libudev(udev* context) : udev_(context) {}
  ~Libudev() override {
    if (monitor_) udev_monitor_unref(monitor_);
    udev_unref(udev_);
  }
  Libudev(const Libudev&) = delete;
  Libudev& operator=(const Libudev&) = delete;

  Result<std::vector<UdevRecord>> enumerate() override {
    // libudev returns negative errno values and sets errno too; both are read at once.
    udev_enumerate* list = udev_enumerate_new(udev_);
    if (!list) return Error::fromErrno("udev_enumerate_new", errno);
    std::vector<UdevRecord> records;
    int rc = udev_enumerate_add_match_subsystem(list, "hidraw");
    if (rc < 0) {
      udev_enumerate_unref(list);
      return Error::fromErrno("udev_enumerate_add_match_subsystem", -rc);
    }
    rc = udev_enumerate_scan_devices(list);
    if (rc < 0) {
      udev_enumerate_unref(list);
      return Error::fromErrno("udev_enumerate_scan_devices", -rc);
    }
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(list)) {
      // A node that went between the listing and this lookup is simply not reported.
      udev_device* device = udev_device_new_from_syspath(udev_, udev_list_entry_get_name(entry));
      if (!device) continue;
      records.push_back(recordOf(device));
      udev_device_unref(device);
    }
    udev_enumerate_unref(list);
    return records;
  }

  std::optional<Error> startMonitor() override {
    if (monitor_) return std::nullopt;
    // "udev" rather than "kernel": events arrive after the rules ran, so a node announced as
    // added already has the permissions the rules give it.
    udev_monitor* monitor = udev_monitor_new_from_netlink(udev_, "udev");
    if (!monitor) return Error::fromErrno("udev_monitor_new_from_netlink", errno);
    int rc = udev_monitor_filter_add_match_subsystem_devtype(monitor, "hidraw", nullptr);
    if (rc < 0) {
      udev_monitor_unref(monitor);
      return Error::fromErrno("udev_monitor_filter_add_match_subsystem_devtype", -rc);
    }
    rc = udev_monitor_enable_receiving(monitor);
    if (rc < 0) {
      udev_monitor_unref(monitor);
      return Error::fromErrno("udev_monitor_enable_receiving", -rc);
    }
    // receiveEvent must never wait; libudev's socket may be blocking otherwise.
    const int fd = udev_monitor_get_fd(monitor);
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
      const int code = errno;
      udev_monitor_unref(monitor);
      return Error::fromErrno("fcntl(O_NONBLOCK) on the udev monitor", code);
    }
    monitor_ = monitor;
    return std::nullopt;
  }

  int monitorFd() const override { return monitor_ ? udev_monitor_get_fd(monitor_) : -1; }

  std::optional<UdevRecord> receiveEvent() override {
    if (!monitor_) return std::nullopt;
    udev_device* device = udev_monitor_receive_device(monitor_);
    if (!device) return std::nullopt;
    UdevRecord record = recordOf(device);
    udev_device_unref(device);
    return record;
  }

 private:
  udev* udev_;
  udev_monitor* monitor_ = nullptr;
};

}  // namespace

SystemCalls& realSystemCalls() {
  // Stateless: one instance serves every thread.
  static PosixCalls calls;
  return calls;
}

Result<std::unique_ptr<UdevBackend>> makeLibudevBackend() {
  udev* context = udev_new();
  if (!context) return Error::fromErrno("udev_new", errno ? errno : ENOMEM);
  return std::unique_ptr<UdevBackend>(std::make_unique<Libudev>(context));
}

}  // namespace nuv::hidraw
