// Attached devices: listing, choosing by selector, opening; the emulator's device; cancel.
#include <cerrno>
#include <variant>

#include "capi/Edge.h"
#include "capi/Handles.h"
#include "cli/ExitCodes.h"
#include "run/SimLink.h"

#ifdef __linux__
#include "cli/DeviceSource.h"
#include "run/HidrawLink.h"
#endif

namespace {

namespace capi = nuv::capi;
namespace cli = nuv::cli;

#ifdef __linux__
// The update devices attached now, or the status and reason why they cannot be listed.
nuv_status scanDevices(std::vector<cli::DeviceRecord>& out, nuv_error* error) {
  auto source = cli::makeHidrawDeviceSource();
  if (!source) {
    capi::setError(error, "cannot list HID devices: " + source.error().describe());
    return NUV_E_NO_DEVICE;
  }
  auto scanned = source.value()->scan();
  if (!scanned) {
    capi::setError(error, "cannot list HID devices: " + scanned.error().describe());
    return NUV_E_NO_DEVICE;
  }
  out = std::move(scanned).value();
  return NUV_OK;
}

// "usb:1-4 or serial:A7 or /dev/hidraw3": how to name each of several candidates.
std::string howToName(const std::vector<cli::DeviceRecord>& devices) {
  std::string names;
  for (const auto& d : devices) names += (names.empty() ? "" : ", ") + cli::selectorFor(d);
  return names;
}

// The one device `selector` (empty: none) picks among those attached.
nuv_status chooseDevice(const std::string& selector, cli::DeviceRecord& chosen, nuv_error* error) {
  std::vector<cli::DeviceRecord> present;
  if (const nuv_status scanned = scanDevices(present, error); scanned != NUV_OK) return scanned;
  cli::SelectionRequest request;
  if (!selector.empty()) request.selectors.push_back(selector);
  const auto picked = cli::selectDevices(request, present);
  if (const auto* refused = std::get_if<cli::SelectionRefusal>(&picked)) {
    if (refused->exitCode == cli::kExitNoDevice) {
      capi::setError(error, refused->summary);
      return NUV_E_NO_DEVICE;
    }
    capi::setError(error, selector.empty() ? std::to_string(present.size()) +
                                                 " update devices are attached: name one (" +
                                                 howToName(present) + ")"
                                           : refused->summary);
    return NUV_E_AMBIGUOUS;
  }
  chosen = std::get<std::vector<cli::DeviceRecord>>(picked).front();
  if (chosen.access == cli::Access::Denied) {
    capi::setError(error, "permission denied on " + chosen.node +
                              ": install the udev rule (vornex-cli udev-rule)");
    return NUV_E_ACCESS;
  }
  return NUV_OK;
}
#endif

}  // namespace

extern "C" {

nuv_status nuv_device_list_new(nuv_device_list** out, nuv_error* error) {
  return capi::guarded(error, [&] {
    if (out == nullptr) return NUV_E_ARGUMENT;
    *out = nullptr;
#ifdef __linux__
    auto list = std::make_unique<nuv_device_list>();
    if (const nuv_status scanned = scanDevices(list->records, error); scanned != NUV_OK)
      return scanned;
    *out = list.release();
    return NUV_OK;
#else
    capi::setError(error, "no device access on this system");
    return NUV_E_UNSUPPORTED;
#endif
  });
}

size_t nuv_device_list_count(const nuv_device_list* list) {
  return list == nullptr ? 0 : list->records.size();
}

nuv_status nuv_device_list_get(const nuv_device_list* list, size_t index, nuv_device_info* info) {
  if (list == nullptr || info == nullptr || index >= list->records.size()) return NUV_E_ARGUMENT;
  const cli::DeviceRecord& d = list->records[index];
  info->path = d.node.c_str();
  info->usb_port = d.usbPort ? d.usbPort->c_str() : nullptr;
  info->serial = d.serial ? d.serial->c_str() : nullptr;
  info->manufacturer = d.manufacturer.c_str();
  info->product = d.product.c_str();
  info->can_open = d.access == cli::Access::Granted ? 1 : 0;
  info->access_detail = d.accessDetail.c_str();
  return NUV_OK;
}

void nuv_device_list_free(nuv_device_list* list) {
  delete list;
}

nuv_status nuv_device_open(const char* selector, nuv_device** out, nuv_error* error) {
  return capi::guarded(error, [&] {
    if (out == nullptr) return NUV_E_ARGUMENT;
    *out = nullptr;
#ifdef __linux__
    cli::DeviceRecord chosen;
    if (const nuv_status status = chooseDevice(selector == nullptr ? "" : selector, chosen, error);
        status != NUV_OK)
      return status;
    auto link = nuv::run::openHidrawLink(chosen.node);
    if (!link) {
      const int code = link.error().code;
      capi::setError(error, "cannot open " + chosen.node + ": " + link.error().describe());
      return code == EACCES || code == EPERM ? NUV_E_ACCESS : NUV_E_NO_DEVICE;
    }
    auto device = std::make_unique<nuv_device>();
    device->path = chosen.node;
    device->link = std::move(link).value();
    *out = device.release();
    return NUV_OK;
#else
    (void)selector;
    capi::setError(error, "no device access on this system");
    return NUV_E_UNSUPPORTED;
#endif
  });
}

nuv_status nuv_device_open_emulator(nuv_emulator* emulator, nuv_device** out, nuv_error* error) {
  return capi::guarded(error, [&] {
    if (emulator == nullptr || out == nullptr) return NUV_E_ARGUMENT;
    *out = nullptr;
    auto device = std::make_unique<nuv_device>();
    device->emulation = emulator->emulation;
    device->path = device->emulation->path;
    device->link = nuv::run::openSimLink(*device->emulation->bus, device->path);
    if (!device->link) {
      capi::setError(error, "the emulated device is not there");
      return NUV_E_NO_DEVICE;
    }
    *out = device.release();
    return NUV_OK;
  });
}

const char* nuv_device_path(const nuv_device* device) {
  return device == nullptr ? "" : device->path.c_str();
}

nuv_status nuv_device_cancel(nuv_device* device) {
  if (device == nullptr) return NUV_E_ARGUMENT;
  device->cancel.store(true, std::memory_order_release);
  return NUV_OK;
}

void nuv_device_free(nuv_device* device) {
  delete device;
}

}  // extern "C"
