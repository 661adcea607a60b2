// Where the update devices come from: the hidraw nodes of this machine (through udev and
// sysfs) or the emulated devices of --sim. One contract, a source file per backend:
// DeviceSourceHidraw.cpp, DeviceSourceSim.cpp.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/DeviceSelection.h"
#include "cli/Options.h"
#include "protocol/Error.h"
#include "protocol/Result.h"

#ifdef __linux__
#include "platform/hidraw/Seams.h"
#endif

namespace nuv::cli {

class DeviceSource {
 public:
  virtual ~DeviceSource() = default;

  // Starts watching for arrivals and removals. Call it before the first scan, so that nothing
  // falls between the two. The reason when watching is impossible: hidraw gives udev's error
  // (UdevBackend::startMonitor); the emulated source always watches.
  [[nodiscard]] virtual std::optional<nuv::Error> watch() = 0;
  // Readable (POLLIN) when devices may have come or gone since the last takeChanges(); -1 for
  // a source that never changes, or before watch().
  [[nodiscard]] virtual int changeFd() const = 0;
  // Consumes the pending notices without waiting; whether there were any (scan again then).
  virtual bool takeChanges() = 0;
  // The update devices present now, in a stable order; the reason when they cannot be listed
  // (hidraw: udev's error from UdevBackend::enumerate; the emulated source never fails).
  [[nodiscard]] virtual nuv::Result<std::vector<DeviceRecord>> scan() = 0;
};

// The emulated devices of --sim-devices N (see simDeviceNames): always present, never
// changing, every one can be opened.
[[nodiscard]] std::unique_ptr<DeviceSource> makeSimDeviceSource(unsigned count);

#ifdef __linux__
// The hidraw nodes of vendor 0xFFFF, product 0x0100, through `udev` (libudev when null), with
// what sysfs tells of each (readSysfsDetails) and whether this user can open it. Fails when
// libudev cannot be initialised (udev_new).
[[nodiscard]] nuv::Result<std::unique_ptr<DeviceSource>> makeHidrawDeviceSource(
    std::unique_ptr<nuv::hidraw::UdevBackend> udev = nullptr);

// Fills in the serial (the HID device's HID_UNIQ), the USB port path ("1-3.2": the USB device
// above the node, named by the kernel after its bus and port chain), and the manufacturer and
// product names (the USB device's strings; the HID name when not on USB) of the hidraw node at
// `syspath`. What sysfs does not have stays empty.
void readSysfsDetails(const std::string& syspath, DeviceRecord& record);
#endif

// The source the options name: the emulated devices with --sim, else this machine's.
[[nodiscard]] nuv::Result<std::unique_ptr<DeviceSource>> makeDeviceSource(const Options& options);

}  // namespace nuv::cli
