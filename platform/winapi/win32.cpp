// The win32 backend: kernel32 called directly; hid.dll, setupapi.dll and CancelIo called
// through the entry points the layer looked up with GetProcAddress, cast to their real types.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// After windows.h, which it needs.
#include <setupapi.h>

#include <cstddef>

#include "platform/winapi/Win32.h"

namespace nuv::winapi {
namespace {

// The records cross into the system's libraries as they are, and setupapi.dll refuses a cbSize
// that is not its own: their sizes follow the pointer width (28 or 32 bytes; a detail cbSize of
// 5 or 8) and must be those of the system's headers for this architecture.
static_assert(sizeof(OVERLAPPED) == sizeof(::OVERLAPPED));
static_assert(offsetof(OVERLAPPED, hEvent) == offsetof(::OVERLAPPED, hEvent));
static_assert(sizeof(GUID) == sizeof(::GUID));
static_assert(sizeof(HIDD_ATTRIBUTES) == 12);
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == sizeof(::SP_DEVICE_INTERFACE_DATA));
static_assert(offsetof(SP_DEVICE_INTERFACE_DATA, Reserved) ==
              offsetof(::SP_DEVICE_INTERFACE_DATA, Reserved));
static_assert(sizeof(SP_DEVINFO_DATA) == sizeof(::SP_DEVINFO_DATA));
static_assert(offsetof(SP_DEVINFO_DATA, Reserved) == offsetof(::SP_DEVINFO_DATA, Reserved));
static_assert(kInterfaceDetailCbSize == sizeof(::SP_DEVICE_INTERFACE_DETAIL_DATA_A));
static_assert(kInterfaceDetailPathOffset ==
              offsetof(::SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath));
static_assert(sizeof(void*) == 4 ? sizeof(SP_DEVICE_INTERFACE_DATA) == 28
                                 : sizeof(SP_DEVICE_INTERFACE_DATA) == 32);

using HidDGetHidGuid = void(WINAPI*)(GUID*);
using HidDGetAttributes = BOOLEAN(WINAPI*)(HANDLE, HIDD_ATTRIBUTES*);
using HidDGetPreparsedData = BOOLEAN(WINAPI*)(HANDLE, PHIDP_PREPARSED_DATA*);
using HidDFreePreparsedData = BOOLEAN(WINAPI*)(PHIDP_PREPARSED_DATA);
using HidPGetCaps = LONG(WINAPI*)(PHIDP_PREPARSED_DATA, HIDP_CAPS*);
using SetupDiGetClassDevsAType = HANDLE(WINAPI*)(const GUID*, const char*, ::HWND, ::DWORD);
using SetupDiEnumDeviceInterfacesType = ::BOOL(WINAPI*)(HANDLE, SP_DEVINFO_DATA*, const GUID*,
                                                        ::DWORD, SP_DEVICE_INTERFACE_DATA*);
using SetupDiGetDeviceInterfaceDetailAType = ::BOOL(WINAPI*)(HANDLE, SP_DEVICE_INTERFACE_DATA*,
                                                             void*, ::DWORD, ::DWORD*,
                                                             SP_DEVINFO_DATA*);
using SetupDiDestroyDeviceInfoListType = ::BOOL(WINAPI*)(HANDLE);
using CancelIoType = ::BOOL(WINAPI*)(HANDLE);

// FARPROC is void (*)(), which converts to any function pointer type without a warning.
template <class Function>
[[nodiscard]] Function entryAs(FARPROC entry) {
  return reinterpret_cast<Function>(entry);
}

class WindowsApi final : public Api {
 public:
  HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode,
                     void* securityAttributes, DWORD creationDisposition, DWORD flagsAndAttributes,
                     HANDLE templateFile) override {
    return ::CreateFileA(fileName, desiredAccess, shareMode,
                         static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes),
                         creationDisposition, flagsAndAttributes, templateFile);
  }
  BOOL CloseHandle(HANDLE handle) override { return ::CloseHandle(handle); }
  BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
                 OVERLAPPED* overlapped) override {
    ::DWORD written = 0;
    const ::BOOL ok = ::WriteFile(file, buffer, bytesToWrite, &written,
                                  reinterpret_cast<::OVERLAPPED*>(overlapped));
    if (bytesWritten != nullptr) *bytesWritten = written;
    return ok;
  }
  BOOL ReadFileEx(HANDLE file, void* buffer, DWORD bytesToRead, OVERLAPPED* overlapped,
                  CompletionRoutine routine) override {
    return ::ReadFileEx(
        file, buffer, bytesToRead, reinterpret_cast<::OVERLAPPED*>(overlapped),
        reinterpret_cast<LPOVERLAPPED_COMPLETION_ROUTINE>(reinterpret_cast<void (*)()>(routine)));
  }
  DWORD SleepEx(DWORD milliseconds, BOOL alertable) override {
    return ::SleepEx(milliseconds, alertable);
  }
  BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* bytesTransferred,
                           BOOL wait) override {
    ::DWORD bytes = 0;
    const ::BOOL ok =
        ::GetOverlappedResult(file, reinterpret_cast<::OVERLAPPED*>(overlapped), &bytes, wait);
    if (bytesTransferred != nullptr) *bytesTransferred = bytes;
    return ok;
  }
  DWORD GetLastError() override { return ::GetLastError(); }
  void SetLastError(DWORD error) override { ::SetLastError(error); }
  HMODULE LoadLibraryA(const char* fileName) override { return ::LoadLibraryA(fileName); }
  FARPROC GetProcAddress(HMODULE module, const char* procName) override {
    return reinterpret_cast<FARPROC>(::GetProcAddress(static_cast<::HMODULE>(module), procName));
  }
  BOOL FreeLibrary(HMODULE module) override {
    return ::FreeLibrary(static_cast<::HMODULE>(module));
  }
  BOOL CancelIo(FARPROC entry, HANDLE file) override {
    return entry == nullptr ? FALSE : entryAs<CancelIoType>(entry)(file);
  }

  void HidD_GetHidGuid(FARPROC entry, GUID* hidGuid) override {
    if (entry != nullptr) entryAs<HidDGetHidGuid>(entry)(hidGuid);
  }
  BOOLEAN HidD_GetAttributes(FARPROC entry, HANDLE device, HIDD_ATTRIBUTES* attributes) override {
    return entry == nullptr ? 0 : entryAs<HidDGetAttributes>(entry)(device, attributes);
  }
  BOOLEAN HidD_GetPreparsedData(FARPROC entry, HANDLE device,
                                PHIDP_PREPARSED_DATA* preparsed) override {
    return entry == nullptr ? 0 : entryAs<HidDGetPreparsedData>(entry)(device, preparsed);
  }
  BOOLEAN HidD_FreePreparsedData(FARPROC entry, PHIDP_PREPARSED_DATA preparsed) override {
    return entry == nullptr ? 0 : entryAs<HidDFreePreparsedData>(entry)(preparsed);
  }
  NTSTATUS HidP_GetCaps(FARPROC entry, PHIDP_PREPARSED_DATA preparsed,
                        HIDP_CAPS* capabilities) override {
    return entry == nullptr ? 0 : entryAs<HidPGetCaps>(entry)(preparsed, capabilities);
  }

  HDEVINFO SetupDiGetClassDevsA(FARPROC entry, const GUID* classGuid, const char* enumerator,
                                HWND parent, DWORD flags) override {
    if (entry == nullptr) return invalidHandle();
    return entryAs<SetupDiGetClassDevsAType>(entry)(classGuid, enumerator,
                                                    static_cast<::HWND>(parent), flags);
  }
  BOOL SetupDiEnumDeviceInterfaces(FARPROC entry, HDEVINFO set, SP_DEVINFO_DATA* deviceInfo,
                                   const GUID* interfaceClass, DWORD memberIndex,
                                   SP_DEVICE_INTERFACE_DATA* data) override {
    if (entry == nullptr) return FALSE;
    return entryAs<SetupDiEnumDeviceInterfacesType>(entry)(set, deviceInfo, interfaceClass,
                                                           memberIndex, data);
  }
  BOOL SetupDiGetDeviceInterfaceDetailA(FARPROC entry, HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                        void* detail, DWORD detailSize, DWORD* requiredSize,
                                        SP_DEVINFO_DATA* deviceInfo) override {
    if (entry == nullptr) return FALSE;
    ::DWORD required = 0;
    const ::BOOL ok = entryAs<SetupDiGetDeviceInterfaceDetailAType>(entry)(
        set, data, detail, detailSize, &required, deviceInfo);
    if (requiredSize != nullptr) *requiredSize = required;
    return ok;
  }
  BOOL SetupDiDestroyDeviceInfoList(FARPROC entry, HDEVINFO set) override {
    return entry == nullptr ? FALSE : entryAs<SetupDiDestroyDeviceInfoListType>(entry)(set);
  }
};

}  // namespace

std::unique_ptr<Api> makeWindowsApi() {
  return std::make_unique<WindowsApi>();
}

}  // namespace nuv::winapi
