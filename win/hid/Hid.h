// The binding of hid.dll ("HID.dll"): all 37 names looked up, five of them called. No use
// count: one bind, one release. Part of the process-wide state (HidProcess).
#pragma once

#include <span>

#include "platform/winapi/WinApi.h"
#include "win/hid/ModuleLoader.h"

namespace nuv::hid {

class Hid {
 public:
  explicit Hid(winapi::Api& api);

  // GUI thread. True when bound (loaded and every name found).
  [[nodiscard]] bool Bind();
  void Release();
  [[nodiscard]] bool IsBound() const { return loader_.Loaded(); }
  [[nodiscard]] const std::string& Failure() const { return loader_.Failure(); }
  [[nodiscard]] static std::span<const char* const> Names();

  // Calls through the slots; when not bound they return failure (false, zero status) without
  // calling anything. GetCaps and the attributes may be called from a reader thread.
  [[nodiscard]] bool GetHidGuid(winapi::GUID& guid);
  [[nodiscard]] bool GetAttributes(winapi::HANDLE device, winapi::HIDD_ATTRIBUTES& attributes);
  [[nodiscard]] bool GetPreparsedData(winapi::HANDLE device,
                                      winapi::PHIDP_PREPARSED_DATA& preparsed);
  bool FreePreparsedData(winapi::PHIDP_PREPARSED_DATA preparsed);
  winapi::NTSTATUS GetCaps(winapi::PHIDP_PREPARSED_DATA preparsed, winapi::HIDP_CAPS& caps);

 private:
  winapi::Api& api_;
  ModuleLoader loader_;
};

}  // namespace nuv::hid
