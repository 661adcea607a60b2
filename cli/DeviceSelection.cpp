#include "cli/DeviceSelection.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "cli/ExitCodes.h"

namespace nuv::cli {

std::string idsText(const DeviceRecord& device) {
  char ids[16];
  std::snprintf(ids, sizeof ids, "%04x:%04x", device.vendorId, device.productId);
  return ids;
}

std::string selectorFor(const DeviceRecord& device) {
  if (device.serial && !device.serial->empty()) return "serial:" + *device.serial;
  if (device.usbPort) return "usb:" + *device.usbPort;
  return device.node;
}

Selector parseSelector(const std::string& text) {
  if (text.starts_with("usb:")) return {SelectorKind::UsbPort, text.substr(4), text};
  if (text.starts_with("serial:")) return {SelectorKind::Serial, text.substr(7), text};
  return {SelectorKind::Node, text, text};
}

std::optional<dev_t> statCharacterDevice(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return std::nullopt;
  return st.st_rdev;
}

bool selects(const Selector& selector, const DeviceRecord& device, const NodeNumberOf& numberOf) {
  switch (selector.kind) {
    case SelectorKind::UsbPort:
      return device.usbPort == selector.value;
    case SelectorKind::Serial:
      return device.serial == selector.value;
    case SelectorKind::Node:
      break;
  }
  if (selector.value == device.node) return true;
  if (device.devnum == 0) return false;
  // A link to the node (one that a udev rule made) names the same character device.
  const auto named = numberOf(selector.value);
  return named && *named == device.devnum;
}

namespace {

std::vector<std::string> candidateLines(const std::vector<DeviceRecord>& devices) {
  std::vector<std::string> lines;
  for (const auto& d : devices) {
    std::string line = d.node + "  " + idsText(d);
    if (d.usbPort) line += "  usb:" + *d.usbPort;
    if (d.serial) line += "  serial:" + *d.serial;
    line += "  (--device " + selectorFor(d) + ")";
    lines.push_back(std::move(line));
  }
  return lines;
}

SelectionRefusal ambiguous(std::string summary, const std::vector<DeviceRecord>& devices) {
  return {kExitUsage, std::move(summary), candidateLines(devices)};
}

}  // namespace

std::variant<std::vector<DeviceRecord>, SelectionRefusal> selectDevices(
    const SelectionRequest& request, const std::vector<DeviceRecord>& present,
    const NodeNumberOf& numberOf) {
  if (request.selectors.empty()) {
    if (present.empty())
      return SelectionRefusal{kExitNoDevice, "no update device (USB ffff:0100) is attached", {}};
    if (request.all || present.size() == 1) return present;
    return ambiguous(std::to_string(present.size()) +
                         " update devices are attached: name one with --device, or all with --all",
                     present);
  }
  std::vector<bool> picked(present.size(), false);
  for (const std::string& text : request.selectors) {
    const Selector selector = parseSelector(text);
    std::vector<DeviceRecord> named;
    for (std::size_t i = 0; i < present.size(); ++i) {
      if (!selects(selector, present[i], numberOf)) continue;
      named.push_back(present[i]);
      picked[i] = true;
    }
    if (named.empty())
      return SelectionRefusal{
          kExitNoDevice, text + " is not an attached update device (USB ffff:0100)", {}};
    if (named.size() > 1)
      return ambiguous(text + " names " + std::to_string(named.size()) +
                           " devices: name one by its node or port",
                       named);
  }
  std::vector<DeviceRecord> chosen;
  for (std::size_t i = 0; i < present.size(); ++i)
    if (picked[i]) chosen.push_back(present[i]);
  return chosen;
}

}  // namespace nuv::cli
