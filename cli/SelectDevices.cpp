#include "cli/SelectDevices.h"

#include <poll.h>

#include <cerrno>
#include <cstdio>

#include "cli/ExitCodes.h"
#include "cli/JsonLine.h"
#include "protocol/Clock.h"

namespace nuv::cli {

SelectionRequest selectionRequest(const Options& options) {
  return {options.deviceSelectors, options.allDevices};
}

bool needsSelection(const Options& options) {
  if (options.allDevices || options.waitSeconds || options.deviceSelectors.size() != 1) return true;
  return parseSelector(options.deviceSelectors.front()).kind != SelectorKind::Node;
}

std::variant<std::vector<DeviceRecord>, SelectionRefusal> waitForSelection(
    DeviceSource& source, const SelectionRequest& request, std::optional<unsigned> waitSeconds,
    const NodeNumberOf& numberOf) {
  bool watching = false;
  if (waitSeconds) watching = !source.watch().has_value() && source.changeFd() >= 0;
  const bool forever = waitSeconds == Options::kWaitForever;
  const nuv::Clock::time_point deadline =
      nuv::realClock().now() + std::chrono::seconds(forever || !waitSeconds ? 0 : *waitSeconds);
  for (;;) {
    auto scanned = source.scan();
    if (!scanned)
      return SelectionRefusal{
          kExitNoDevice, "cannot list HID devices: " + scanned.error().describe(), {}};
    auto picked = selectDevices(request, scanned.value(), numberOf);
    auto* refusal = std::get_if<SelectionRefusal>(&picked);
    if (refusal == nullptr || refusal->exitCode != kExitNoDevice || !watching) return picked;
    // Wait for the next arrival (or removal) and look again.
    int timeoutMs = -1;
    if (!forever) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - nuv::realClock().now());
      if (left.count() <= 0) {
        refusal->summary +=
            waitSeconds == 0u ? "" : " (waited " + std::to_string(*waitSeconds) + " s)";
        return picked;
      }
      timeoutMs = static_cast<int>(left.count());
    }
    pollfd fd{source.changeFd(), POLLIN, 0};
    const int ready = ::poll(&fd, 1, timeoutMs);
    if (ready < 0 && errno != EINTR) return picked;
    (void)source.takeChanges();
  }
}

std::string deviceLine(const DeviceRecord& d) {
  std::string access = "can be opened";
  if (d.access == Access::Denied)
    access =
        "permission denied: install the udev rule (vornex-cli udev-rule, or the README's "
        "Linux section)";
  else if (d.access == Access::Failed)
    access = "cannot be opened: " + d.accessDetail;
  char node[64];
  std::snprintf(node, sizeof node, "%-16s", d.node.c_str());
  std::string line = std::string(node) + " " + idsText(d) + "  " + access;
  if (d.usbPort) line += "  usb:" + *d.usbPort;
  if (d.serial) line += "  serial:" + *d.serial;
  std::string names = d.manufacturer;
  if (!d.product.empty()) names += (names.empty() ? "" : " ") + d.product;
  if (!names.empty()) line += "  \"" + names + "\"";
  return line;
}

JsonLine deviceJson(const DeviceRecord& d) {
  const char* access = d.access == Access::Granted  ? "granted"
                       : d.access == Access::Denied ? "denied"
                                                    : "failed";
  JsonLine json("device");
  json.text("node", d.node)
      .number("vendor_id", d.vendorId)
      .number("product_id", d.productId)
      .optionalText("usb_port", d.usbPort)
      .optionalText("serial", d.serial)
      .text("manufacturer", d.manufacturer)
      .text("product", d.product)
      .flag("can_open", d.access == Access::Granted)
      .text("access", access);
  if (d.access != Access::Granted) json.text("access_detail", d.accessDetail);
  return json;
}

std::unique_ptr<DeviceSource> openDeviceSource(const Options& options, Output& out) {
  auto made = makeDeviceSource(options);
  if (!made) {
    out.message(made.error().describe(), true);
    out.result(kExitNoDevice, "cannot list HID devices");
    return nullptr;
  }
  return std::move(made).value();
}

std::variant<std::vector<DeviceRecord>, int> findSelectedDevices(const Options& options,
                                                                 Output& out) {
  const auto source = openDeviceSource(options, out);
  if (!source) return kExitNoDevice;
  auto picked = waitForSelection(*source, selectionRequest(options), options.waitSeconds);
  if (auto* devices = std::get_if<std::vector<DeviceRecord>>(&picked)) return std::move(*devices);
  const auto& refusal = std::get<SelectionRefusal>(picked);
  for (const std::string& candidate : refusal.candidates) out.message(candidate, false);
  out.result(refusal.exitCode, refusal.summary);
  return refusal.exitCode;
}

std::optional<DeviceRecord> findDeviceRecord(const Options& options, const std::string& node) {
  if (node.empty()) return std::nullopt;
  auto source = makeDeviceSource(options);
  if (!source) return std::nullopt;
  auto scanned = source.value()->scan();
  if (!scanned) return std::nullopt;
  const auto number = statCharacterDevice(node);
  for (const DeviceRecord& d : scanned.value())
    if (d.node == node || (number && statCharacterDevice(d.node) == number)) return d;
  return std::nullopt;
}

}  // namespace nuv::cli
