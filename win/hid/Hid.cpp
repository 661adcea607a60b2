#include "win/hid/Hid.h"

#include <array>
#include <string_view>

namespace nuv::hid {
namespace {

// Every name must exist; five are called.
constexpr std::array<const char*, 37> kNames = {
    "HidD_Hello",
    "HidD_GetHidGuid",
    "HidD_GetPreparsedData",
    "HidD_FreePreparsedData",
    "HidD_GetConfiguration",
    "HidD_SetConfiguration",
    "HidD_FlushQueue",
    "HidD_GetFeature",
    "HidD_SetFeature",
    "HidD_GetNumInputBuffers",
    "HidD_SetNumInputBuffers",
    "HidD_GetAttributes",
    "HidD_GetManufacturerString",
    "HidD_GetProductString",
    "HidD_GetSerialNumberString",
    "HidD_GetPhysicalDescriptor",
    "HidD_GetIndexedString",
    "HidP_GetCaps",
    "HidP_GetLinkCollectionNodes",
    "HidP_GetSpecificButtonCaps",
    "HidP_GetSpecificValueCaps",
    "HidP_GetData",
    "HidP_SetData",
    "HidP_MaxDataListLength",
    "HidP_GetUsages",
    "HidP_GetUsagesEx",
    "HidP_SetUsages",
    "HidP_UnsetUsages",
    "HidP_MaxUsageListLength",
    "HidP_GetUsageValue",
    "HidP_GetScaledUsageValue",
    "HidP_GetUsageValueArray",
    "HidP_SetUsageValue",
    "HidP_SetScaledUsageValue",
    "HidP_SetUsageValueArray",
    "HidP_UsageListDifference",
    "HidP_TranslateUsagesToI8042ScanCodes",
};

constexpr std::size_t slotOf(std::string_view name) {
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    if (name == kNames[i]) return i;
  }
  throw "not a hid.dll name";  // compile-time only
}
constexpr std::size_t kGetHidGuid = slotOf("HidD_GetHidGuid");
constexpr std::size_t kGetPreparsedData = slotOf("HidD_GetPreparsedData");
constexpr std::size_t kFreePreparsedData = slotOf("HidD_FreePreparsedData");
constexpr std::size_t kGetAttributes = slotOf("HidD_GetAttributes");
constexpr std::size_t kGetCaps = slotOf("HidP_GetCaps");

}  // namespace

Hid::Hid(winapi::Api& api) : api_(api), loader_(api, "HID.dll", kNames) {}

std::span<const char* const> Hid::Names() {
  return kNames;
}

bool Hid::Bind() {
  return loader_.Load();
}

void Hid::Release() {
  loader_.Release();
}

bool Hid::GetHidGuid(winapi::GUID& guid) {
  const winapi::FARPROC entry = loader_.Slot(kGetHidGuid);
  if (entry == nullptr) return false;
  api_.HidD_GetHidGuid(entry, &guid);
  return true;
}

bool Hid::GetAttributes(winapi::HANDLE device, winapi::HIDD_ATTRIBUTES& attributes) {
  const winapi::FARPROC entry = loader_.Slot(kGetAttributes);
  return entry != nullptr && api_.HidD_GetAttributes(entry, device, &attributes) != 0;
}

bool Hid::GetPreparsedData(winapi::HANDLE device, winapi::PHIDP_PREPARSED_DATA& preparsed) {
  const winapi::FARPROC entry = loader_.Slot(kGetPreparsedData);
  return entry != nullptr && api_.HidD_GetPreparsedData(entry, device, &preparsed) != 0;
}

bool Hid::FreePreparsedData(winapi::PHIDP_PREPARSED_DATA preparsed) {
  const winapi::FARPROC entry = loader_.Slot(kFreePreparsedData);
  return entry != nullptr && api_.HidD_FreePreparsedData(entry, preparsed) != 0;
}

winapi::NTSTATUS Hid::GetCaps(winapi::PHIDP_PREPARSED_DATA preparsed, winapi::HIDP_CAPS& caps) {
  const winapi::FARPROC entry = loader_.Slot(kGetCaps);
  return entry == nullptr ? 0 : api_.HidP_GetCaps(entry, preparsed, &caps);
}

}  // namespace nuv::hid
