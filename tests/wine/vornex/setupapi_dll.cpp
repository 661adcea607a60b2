// SetupApi.dll for the Wine tests: the four entry points the HID layer calls, listing the
// emulated devices of TestDevices.h as HID interfaces; every other name of the library's
// interface is exported as notEmulated (see SetupApi.def, made from the layer's own list).
// Test-only.
#include <windows.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/winapi/WinApi.h"
#include "tests/wine/vornex/TestDevices.h"

namespace {

constexpr DWORD kSetMagic = 0x4E555653;  // "NUVS"
constexpr DWORD kSpintActive = 0x1;
// GUID_DEVCLASS_HIDCLASS {745A17A0-74D3-11D0-B6FE-00A0C90F57DA}: the class of HID devices.
constexpr nuv::winapi::GUID kHidDeviceClass{
    0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};

// A device information set: the devices present when it was made, as SetupDiGetClassDevs
// takes a snapshot.
struct DeviceSet {
  DWORD magic = kSetMagic;
  std::vector<wine_test::TestDevice> devices;
};

[[nodiscard]] DeviceSet* setOf(HANDLE handle) {
  auto* set = static_cast<DeviceSet*>(handle);
  if (set == nullptr || handle == INVALID_HANDLE_VALUE || set->magic != kSetMagic) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return set;
}

// The interface's position in its set, kept in its Reserved word as the real library keeps a
// pointer of its own there (0 is never used, so a zeroed record is refused).
[[nodiscard]] const wine_test::TestDevice* deviceOf(
    const DeviceSet& set, const nuv::winapi::SP_DEVICE_INTERFACE_DATA* data) {
  if (data == nullptr || data->cbSize != sizeof(nuv::winapi::SP_DEVICE_INTERFACE_DATA) ||
      data->Reserved == 0 || data->Reserved > set.devices.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return &set.devices[data->Reserved - 1];
}

}  // namespace

extern "C" {

HANDLE __stdcall SetupDiGetClassDevsA(const nuv::winapi::GUID* classGuid,
                                      const char* /*enumerator*/, HWND /*parent*/, DWORD flags) {
  auto* set = new DeviceSet;
  const bool hidInterfaces = (flags & nuv::winapi::kDigcfDeviceInterface) != 0 &&
                             classGuid != nullptr && *classGuid == nuv::winapi::kHidInterfaceClass;
  if (hidInterfaces) set->devices = wine_test::pluggedDevices();
  return set;
}

BOOL __stdcall SetupDiEnumDeviceInterfaces(HANDLE handle,
                                           nuv::winapi::SP_DEVINFO_DATA* /*deviceInfo*/,
                                           const nuv::winapi::GUID* interfaceClass, DWORD index,
                                           nuv::winapi::SP_DEVICE_INTERFACE_DATA* data) {
  DeviceSet* set = setOf(handle);
  if (set == nullptr) return FALSE;
  if (data == nullptr || data->cbSize != sizeof(nuv::winapi::SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (interfaceClass == nullptr || !(*interfaceClass == nuv::winapi::kHidInterfaceClass) ||
      index >= set->devices.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->InterfaceClassGuid = nuv::winapi::kHidInterfaceClass;
  data->Flags = kSpintActive;
  data->Reserved = index + 1;
  return TRUE;
}

BOOL __stdcall SetupDiGetDeviceInterfaceDetailA(HANDLE handle,
                                                nuv::winapi::SP_DEVICE_INTERFACE_DATA* data,
                                                void* detail, DWORD detailSize, DWORD* requiredSize,
                                                nuv::winapi::SP_DEVINFO_DATA* deviceInfo) {
  DeviceSet* set = setOf(handle);
  if (set == nullptr) return FALSE;
  const wine_test::TestDevice* device = deviceOf(*set, data);
  if (device == nullptr) return FALSE;
  const DWORD required =
      static_cast<DWORD>(nuv::winapi::kInterfaceDetailPathOffset + device->path.size() + 1);
  if (requiredSize != nullptr) *requiredSize = required;
  if (detail == nullptr && detailSize != 0) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (detail != nullptr) {
    DWORD cbSize = 0;
    std::memcpy(&cbSize, detail, sizeof cbSize);
    if (cbSize != nuv::winapi::kInterfaceDetailCbSize) {
      SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
  }
  if (detail == nullptr || detailSize < required) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (deviceInfo != nullptr) {
    if (deviceInfo->cbSize != sizeof(nuv::winapi::SP_DEVINFO_DATA)) {
      SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    deviceInfo->ClassGuid = kHidDeviceClass;
    deviceInfo->DevInst = device->instance;
  }
  std::memcpy(static_cast<char*>(detail) + nuv::winapi::kInterfaceDetailPathOffset,
              device->path.c_str(), device->path.size() + 1);
  return TRUE;
}

BOOL __stdcall SetupDiDestroyDeviceInfoList(HANDLE handle) {
  DeviceSet* set = setOf(handle);
  if (set == nullptr) return FALSE;
  set->magic = 0;
  delete set;
  return TRUE;
}

}  // extern "C"
