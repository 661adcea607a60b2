#include "cli/DeviceCommands.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <variant>

#include "cli/ExitCodes.h"
#include "cli/SelectDevices.h"

#ifdef __linux__
#include <sys/stat.h>

#include <cerrno>

#include "platform/hidraw/Hidraw.h"
#include "protocol/DeviceIdentity.h"
#endif

namespace nuv::cli {
namespace {

#ifdef __linux__
// The update device's node that `given` names: the node itself or a link to it (a udev
// symlink), told by its device number. `given` unchanged when it cannot be looked at, so that
// opening it reports why; nothing when it is no attached update device.
[[nodiscard]] std::optional<std::string> updateDeviceNodeOf(
    const std::string& given, const std::vector<nuv::hidraw::HidrawDevice>& devices) {
  struct stat named {};
  if (::stat(given.c_str(), &named) != 0) return given;
  const auto number = statCharacterDevice(given);  // the same test as a --device selector's
  if (!number) return std::nullopt;
  for (const auto& device : devices)
    if (statCharacterDevice(device.devnode) == number) return device.devnode;
  return std::nullopt;
}
#endif

}  // namespace

std::optional<int> checkDeviceAccess(const Options& options, Output& out, std::string* pathOut) {
  if (options.sim) return std::nullopt;
#ifdef __linux__
  namespace hr = nuv::hidraw;
  auto enumerator =
      hr::Enumerator::create(hr::DeviceFilter{nuv::kUpdateVendorId, nuv::kUpdateProductId});
  std::optional<std::vector<hr::HidrawDevice>> devices;
  if (enumerator) {
    if (auto scanned = enumerator.value().scan()) devices = std::move(scanned).value();
  }
  std::string path = options.devicePath;
  if (path.empty()) {
    if (!devices) {
      if (!enumerator) out.message(enumerator.error().describe(), true);
      out.result(kExitNoDevice, "cannot list HID devices");
      return kExitNoDevice;
    }
    if (devices->empty()) {
      out.result(kExitNoDevice, "no update device (USB ffff:0100) is attached");
      return kExitNoDevice;
    }
    path = devices->front().devnode;
  } else if (devices) {
    // Without udev's list the node cannot be told apart, and the flow finds out itself.
    auto node = updateDeviceNodeOf(path, *devices);
    if (!node) {
      out.result(kExitNoDevice, path + " is not an attached update device (USB ffff:0100)");
      return kExitNoDevice;
    }
    path = *node;
  }
  auto node = hr::Node::open(path, hr::OpenMode::ReadWrite);
  if (!node) {
    const int code = node.error().code;
    out.message(node.error().describe(), true);
    if (code == EACCES || code == EPERM) {
      out.result(kExitNoDevice, "permission denied on " + path +
                                    ": install the udev rule (see the README's Linux section)");
    } else {
      out.result(kExitNoDevice, "cannot open " + path);
    }
    return kExitNoDevice;
  }
  if (pathOut != nullptr) *pathOut = path;
  return std::nullopt;
#else
  (void)pathOut;
  out.result(kExitNoDevice, "no device access on this system");
  return kExitNoDevice;
#endif
}

int runList(const Options& options, Output& out) {
  // Every device unless --device names some; --all is the same as none.
  Options listed = options;
  listed.allDevices = options.deviceSelectors.empty();
  auto picked = findSelectedDevices(listed, out);
  if (auto* refused = std::get_if<int>(&picked)) return *refused;
  int usable = 0;
  bool denied = false;
  for (const DeviceRecord& d : std::get<std::vector<DeviceRecord>>(picked)) {
    out.record(deviceJson(d), deviceLine(d));
    usable += d.access == Access::Granted ? 1 : 0;
    denied = denied || d.access == Access::Denied;
  }
  if (usable > 0) {
    out.result(kExitSuccess, "");
    return kExitSuccess;
  }
  out.result(kExitNoDevice, denied ? "the update device is there but this user may not open it"
                                   : "no update device (USB ffff:0100) can be opened");
  return kExitNoDevice;
}

}  // namespace nuv::cli
