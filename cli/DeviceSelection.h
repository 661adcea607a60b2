// Which update devices a command works on: what is known of each attached device, the
// selectors of --device, and how --device, --all and their absence pick among the devices.
// Pure functions of the records: finding the devices is DeviceSource's.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "protocol/DeviceIdentity.h"

namespace nuv::cli {

enum class Access { Granted, Denied, Failed };

// One attached update device, as list shows it.
struct DeviceRecord {
  std::string node;  // "/dev/hidraw3", or the emulated device's "sim:update-device-2"
  // Stays the same while the device stays plugged in and changes when it is plugged in again
  // (the hidraw node's sysfs path, which holds the kernel's fresh sequence number).
  std::string identity;
  dev_t devnum = 0;  // the node's device number; 0 for an emulated device
  std::uint16_t vendorId = nuv::kUpdateVendorId;
  std::uint16_t productId = nuv::kUpdateProductId;
  std::optional<std::string> usbPort;  // "1-3.2": bus and port chain; none when not on USB
  std::optional<std::string> serial;   // the HID unique id; none when the device has none
  std::string manufacturer;            // "" when unknown
  std::string product;                 // "" when unknown
  Access access = Access::Granted;     // whether this user may open the node
  std::string accessDetail;            // why not, when not
};

// "ffff:0100"
[[nodiscard]] std::string idsText(const DeviceRecord& device);
// How to name the device on the command line, the most lasting name first: "serial:A7",
// else "usb:1-3.2", else the node.
[[nodiscard]] std::string selectorFor(const DeviceRecord& device);

enum class SelectorKind { Node, UsbPort, Serial };
struct Selector {
  SelectorKind kind = SelectorKind::Node;
  std::string value;  // the node path, the port path or the serial
  std::string text;   // as given
};
// "usb:PORT", "serial:TEXT", anything else a node path (or a link to one).
[[nodiscard]] Selector parseSelector(const std::string& text);

// The device number of the character device that `path` names (following links), or nothing
// when it names none. The real one stats the path; tests give their own.
using NodeNumberOf = std::function<std::optional<dev_t>(const std::string& path)>;
[[nodiscard]] std::optional<dev_t> statCharacterDevice(const std::string& path);

[[nodiscard]] bool selects(const Selector& selector, const DeviceRecord& device,
                           const NodeNumberOf& numberOf);

// Why no device (or no one device) was picked: the exit code, a one-line summary and, for an
// ambiguous choice, one line per candidate and how to name it.
struct SelectionRefusal {
  int exitCode = 0;
  std::string summary;
  std::vector<std::string> candidates;
};

struct SelectionRequest {
  std::vector<std::string> selectors;  // --device, in the order given
  bool all = false;                    // --all
};

// The devices a command works on, in the order of `present`:
//  - every selector names at least one device and each device at most once; a selector that
//    names none is "no device" (3) and one that names several (a serial shared by two devices)
//    is ambiguous (2), as a selector names one device;
//  - --all: every device, at least one;
//  - neither: the one device there is; none is 3, several are ambiguous (2): taking the first
//    would leave to chance which device is written.
// Not a nuv::Result: a refusal carries its exit code and the candidates, more than an Error.
[[nodiscard]] std::variant<std::vector<DeviceRecord>, SelectionRefusal> selectDevices(
    const SelectionRequest& request, const std::vector<DeviceRecord>& present,
    const NodeNumberOf& numberOf = statCharacterDevice);

}  // namespace nuv::cli
