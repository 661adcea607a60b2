// The binding of setupapi.dll ("SetupApi.dll"): its whole interface of 271 names looked up, four
// called. Counted: every Bind adds one use, every Release takes one; the library is loaded at
// the first use and freed when the count drops to 0. Part of the process-wide state.
#pragma once

#include <span>

#include "platform/winapi/WinApi.h"
#include "win/hid/ModuleLoader.h"

namespace nuv::hid {

class SetupApi {
 public:
  explicit SetupApi(winapi::Api& api);

  // GUI thread. Adds one use; the first use loads and looks up every name, and a failure there
  // releases that use again. Result: whether the library is bound.
  [[nodiscard]] bool Bind();
  // GUI thread. Takes one use; at 0 or less frees the library and clears every slot.
  void Release();
  [[nodiscard]] bool IsBound() const { return loader_.Loaded(); }
  [[nodiscard]] int UseCount() const { return useCount_; }
  [[nodiscard]] const std::string& Failure() const { return loader_.Failure(); }
  [[nodiscard]] static std::span<const char* const> Names();

  // Calls through the slots; when not bound they fail (invalid handle, false) without calling.
  [[nodiscard]] winapi::HDEVINFO GetClassDevs(const winapi::GUID& classGuid, winapi::DWORD flags);
  [[nodiscard]] bool EnumDeviceInterfaces(winapi::HDEVINFO set, const winapi::GUID& classGuid,
                                          winapi::DWORD index,
                                          winapi::SP_DEVICE_INTERFACE_DATA& data);
  [[nodiscard]] bool GetDeviceInterfaceDetail(winapi::HDEVINFO set,
                                              winapi::SP_DEVICE_INTERFACE_DATA& data, void* detail,
                                              winapi::DWORD detailSize, winapi::DWORD* requiredSize,
                                              winapi::SP_DEVINFO_DATA* deviceInfo);
  void DestroyDeviceInfoList(winapi::HDEVINFO set);

 private:
  winapi::Api& api_;
  ModuleLoader loader_;
  int useCount_ = 0;
};

}  // namespace nuv::hid
