// HID.dll for the Wine tests: the five entry points the HID layer calls, answered for the
// emulated devices of TestDevices.h; every other name of the library's interface is exported
// as notEmulated (see HID.def, made from the layer's own list). Test-only.
#include <windows.h>

#include <cstring>
#include <optional>

#include "platform/winapi/WinApi.h"
#include "tests/wine/vornex/TestDevices.h"

namespace {

constexpr DWORD kPreparsedMagic = 0x4E555650;  // "NUVP"
constexpr nuv::winapi::NTSTATUS kHidpStatusInvalidPreparsedData =
    static_cast<nuv::winapi::NTSTATUS>(0xC0110001);
constexpr USHORT kVendorUsagePage = 0xFF00;

// What HidD_GetPreparsedData hands out: the capabilities, behind a mark that tells a live
// record from anything else.
struct Preparsed {
  DWORD magic = kPreparsedMagic;
  nuv::winapi::HIDP_CAPS caps{};
};

// The emulated device `handle` is open on, for a call that writes into `out`; nothing, with
// the last error set, for a null `out` or a handle on anything else.
[[nodiscard]] std::optional<wine_test::TestDevice> deviceFor(HANDLE handle, const void* out) {
  if (out == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return std::nullopt;
  }
  auto found = wine_test::deviceOfHandle(handle);
  if (!found) SetLastError(ERROR_INVALID_FUNCTION);
  return found;
}

}  // namespace

extern "C" {

void __stdcall HidD_GetHidGuid(nuv::winapi::GUID* guid) {
  if (guid != nullptr) *guid = nuv::winapi::kHidInterfaceClass;
}

BOOLEAN __stdcall HidD_GetAttributes(HANDLE device, nuv::winapi::HIDD_ATTRIBUTES* attributes) {
  const auto found = deviceFor(device, attributes);
  if (!found) return FALSE;
  attributes->Size = sizeof *attributes;
  attributes->VendorID = found->vendorId;
  attributes->ProductID = found->productId;
  attributes->VersionNumber = found->versionNumber;
  return TRUE;
}

BOOLEAN __stdcall HidD_GetPreparsedData(HANDLE device, void** preparsed) {
  const auto found = deviceFor(device, preparsed);
  if (!found) return FALSE;
  auto* record = new Preparsed;
  record->caps.Usage = 0x01;
  record->caps.UsagePage = kVendorUsagePage;
  record->caps.InputReportByteLength = found->inputLength;
  record->caps.OutputReportByteLength = found->outputLength;
  record->caps.NumberInputValueCaps = 1;
  record->caps.NumberOutputValueCaps = 1;
  *preparsed = record;
  return TRUE;
}

BOOLEAN __stdcall HidD_FreePreparsedData(void* preparsed) {
  auto* record = static_cast<Preparsed*>(preparsed);
  if (record == nullptr || record->magic != kPreparsedMagic) return FALSE;
  record->magic = 0;
  delete record;
  return TRUE;
}

nuv::winapi::NTSTATUS __stdcall HidP_GetCaps(void* preparsed, nuv::winapi::HIDP_CAPS* caps) {
  const auto* record = static_cast<const Preparsed*>(preparsed);
  if (record == nullptr || caps == nullptr || record->magic != kPreparsedMagic) {
    return kHidpStatusInvalidPreparsedData;
  }
  *caps = record->caps;
  return nuv::winapi::kHidpStatusSuccess;
}

}  // extern "C"
