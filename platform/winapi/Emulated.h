// The Windows operations of WinApi.h emulated on top of a device source (the virtual bus, or
// hidraw): a handle table, per-thread outstanding reads completed inside alertable waits,
// modules with their exported names, device information sets and preparsed data. Not a backend:
// the base shared by the sim backend (Sim.h) and the linux backend (Linux.h); each supplies the
// device source.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/winapi/WinApi.h"
#include "protocol/IoStatus.h"

namespace nuv::hidraw {
class SystemCalls;
}

namespace nuv::winapi {

// One opened device, as a handle refers to it. Shared by the handle table and a read outstanding
// on it, so closing the handle never frees what a blocked reader is using.
class DeviceFile {
 public:
  virtual ~DeviceFile() = default;
  [[nodiscard]] virtual bool canRead() const = 0;
  [[nodiscard]] virtual bool canWrite() const = 0;
  // Any thread: blocks up to `timeout` for one input report (report-ID byte first) into `buffer`:
  // Ok, or TimedOut when none came. Ends early with Cancelled once close() was called, with
  // Gone once the device went away, with Failed on any other error.
  [[nodiscard]] virtual nuv::IoStatus awaitRead(std::uint8_t* buffer, std::size_t capacity,
                                                std::size_t& length,
                                                std::chrono::milliseconds timeout) = 0;
  // 0, or the Windows error code of a read that cannot be started now.
  [[nodiscard]] virtual DWORD readStartError() = 0;
  // 0, or the Windows error code of the failed write.
  [[nodiscard]] virtual DWORD write(const std::uint8_t* data, std::size_t length) = 0;
  [[nodiscard]] virtual DWORD attributes(HIDD_ATTRIBUTES& out) = 0;
  [[nodiscard]] virtual DWORD capabilities(HIDP_CAPS& out) = 0;
  // Any thread, idempotent.
  virtual void close() = 0;
};

// What the emulated backends can be told to lack, to exercise the layer's binding failures.
struct EmulationOptions {
  std::set<std::string> missingLibraries;  // file names as loaded, compared without case
  std::set<std::string> missingNames;      // entry-point names no library exports
  // linux backend: list only the node at this path (a terminal's --device); empty lists all.
  std::string onlyDevicePath;
  // linux backend: where nodes are opened, read and written; the real system calls when null.
  // Must outlive the backend.
  nuv::hidraw::SystemCalls* systemCalls = nullptr;
};

class EmulatedApi : public Api {
 public:
  ~EmulatedApi() override;
  EmulatedApi(const EmulatedApi&) = delete;
  EmulatedApi& operator=(const EmulatedApi&) = delete;

  // Inspection, for tests: open handles (files and device information sets), modules loaded
  // and not freed (counting every LoadLibraryA), preparsed data not freed.
  [[nodiscard]] std::size_t openHandleCount() const;
  [[nodiscard]] int loadedModuleCount() const;
  [[nodiscard]] std::size_t livePreparsedCount() const;

  HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode,
                     void* securityAttributes, DWORD creationDisposition, DWORD flagsAndAttributes,
                     HANDLE templateFile) override;
  BOOL CloseHandle(HANDLE handle) override;
  BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
                 OVERLAPPED* overlapped) override;
  BOOL ReadFileEx(HANDLE file, void* buffer, DWORD bytesToRead, OVERLAPPED* overlapped,
                  CompletionRoutine routine) override;
  DWORD SleepEx(DWORD milliseconds, BOOL alertable) override;
  BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* bytesTransferred,
                           BOOL wait) override;
  DWORD GetLastError() override;
  void SetLastError(DWORD error) override;
  HMODULE LoadLibraryA(const char* fileName) override;
  FARPROC GetProcAddress(HMODULE module, const char* procName) override;
  BOOL FreeLibrary(HMODULE module) override;
  BOOL CancelIo(FARPROC entry, HANDLE file) override;

  void HidD_GetHidGuid(FARPROC entry, GUID* hidGuid) override;
  BOOLEAN HidD_GetAttributes(FARPROC entry, HANDLE device, HIDD_ATTRIBUTES* attributes) override;
  BOOLEAN HidD_GetPreparsedData(FARPROC entry, HANDLE device,
                                PHIDP_PREPARSED_DATA* preparsed) override;
  BOOLEAN HidD_FreePreparsedData(FARPROC entry, PHIDP_PREPARSED_DATA preparsed) override;
  NTSTATUS HidP_GetCaps(FARPROC entry, PHIDP_PREPARSED_DATA preparsed,
                        HIDP_CAPS* capabilities) override;

  HDEVINFO SetupDiGetClassDevsA(FARPROC entry, const GUID* classGuid, const char* enumerator,
                                HWND parent, DWORD flags) override;
  BOOL SetupDiEnumDeviceInterfaces(FARPROC entry, HDEVINFO set, SP_DEVINFO_DATA* deviceInfo,
                                   const GUID* interfaceClass, DWORD memberIndex,
                                   SP_DEVICE_INTERFACE_DATA* data) override;
  BOOL SetupDiGetDeviceInterfaceDetailA(FARPROC entry, HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                        void* detail, DWORD detailSize, DWORD* requiredSize,
                                        SP_DEVINFO_DATA* deviceInfo) override;
  BOOL SetupDiDestroyDeviceInfoList(FARPROC entry, HDEVINFO set) override;

 protected:
  explicit EmulatedApi(EmulationOptions options);

  struct InterfaceEntry {
    std::string path;
    DWORD devInst = 0;
  };
  // The present HID interfaces in the system's order, or false with a Windows error code.
  [[nodiscard]] virtual bool listInterfaces(std::vector<InterfaceEntry>& out, DWORD& error) = 0;
  // Opens the device at `path`; null with a Windows error code when it cannot be opened so.
  [[nodiscard]] virtual std::shared_ptr<DeviceFile> openDevice(const std::string& path, bool read,
                                                               bool write, DWORD& error) = 0;
  // Whether the path's interface detail can be read (a knob of the sim backend).
  [[nodiscard]] virtual bool detailReadable(const std::string& /*path*/) { return true; }

 private:
  struct DeviceInfoSet {
    std::vector<InterfaceEntry> interfaces;
  };
  struct HandleEntry {
    std::shared_ptr<DeviceFile> file;
    std::shared_ptr<DeviceInfoSet> set;
  };
  struct Module {
    std::string name;  // lower case
    int loads = 0;
  };

  [[nodiscard]] HANDLE addHandle(HandleEntry entry);
  [[nodiscard]] std::shared_ptr<DeviceFile> fileOf(HANDLE handle);
  [[nodiscard]] std::shared_ptr<DeviceInfoSet> setOf(HANDLE handle);
  [[nodiscard]] bool exports(const std::string& module, const std::string& name) const;
  [[nodiscard]] bool entryMissing(FARPROC entry);

  const EmulationOptions options_;
  mutable std::mutex mutex_;
  std::unordered_map<std::uintptr_t, HandleEntry> handles_;
  std::uintptr_t nextHandle_ = 0x1000;
  std::vector<Module> modules_;  // the module handle is the index + 1, times 0x10000
  std::unordered_map<void*, HIDP_CAPS> preparsed_;
};

}  // namespace nuv::winapi
