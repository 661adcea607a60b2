// The linux backend of the HID manager seam: hidraw nodes found and watched through udev
// (platform/hidraw), their reports read when the node is readable and delivered on the run
// loop.
//
// Reports are framed at this edge (Framing.h): the device's report ID when its report descriptor
// uses them, else kReportId, then the payload, padded with zeros to the descriptor's output
// report length.
#pragma once

#include <functional>
#include <memory>

#include "platform/hidraw/Hidraw.h"
#include "platform/iohid/IOHID.h"

namespace nuv::iohid {

// Tells when a descriptor is readable. The backend's default watches with the run loop it is
// scheduled on; tests hand in one that fires when they say so, for descriptors of fakes.
class DescriptorWatcher {
 public:
  virtual ~DescriptorWatcher() = default;
  // `onReadable` runs on the run loop's thread while `fd` is readable (level-triggered).
  [[nodiscard]] virtual int watch(int fd, std::function<void()> onReadable) = 0;
  virtual void unwatch(int id) = 0;
};

struct LinuxHIDSeams {
  // Where nodes are opened, read and written. Must outlive the manager.
  hidraw::SystemCalls* sys = &hidraw::realSystemCalls();
  // Makes the udev backend at open; libudev when empty.
  std::function<nuv::Result<std::unique_ptr<hidraw::UdevBackend>>()> makeUdev;
  // Readiness of the udev monitor and of open nodes; the run loop's when null. Must outlive
  // the manager.
  DescriptorWatcher* watcher = nullptr;
};

[[nodiscard]] std::unique_ptr<IOHIDManager> createLinuxHIDManager(LinuxHIDSeams seams = {});

}  // namespace nuv::iohid
