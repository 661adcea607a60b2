#include "platform/winapi/Emulated.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <thread>

namespace nuv::winapi {
namespace {

// Marks an outstanding read in OVERLAPPED.Internal (STATUS_PENDING). A finished read holds 0 or
// the Windows error code there, and its byte count in InternalHigh.
constexpr ULONG_PTR kPending = 0x103;

// The thread's last error and its outstanding read: per thread by definition, as the system
// keeps them in the thread's own block.
struct OutstandingRead {
  std::shared_ptr<DeviceFile> file;
  std::uint8_t* buffer = nullptr;
  std::size_t count = 0;
  OVERLAPPED* overlapped = nullptr;
  CompletionRoutine routine = nullptr;
  const EmulatedApi* owner = nullptr;
  bool cancelled = false;
};
thread_local DWORD t_lastError = 0;
thread_local OutstandingRead t_read;

[[nodiscard]] std::string lowerCase(const char* text) {
  std::string out = text == nullptr ? std::string() : std::string(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

[[nodiscard]] bool startsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

void exportedPlaceholder() {}

[[nodiscard]] DWORD completeRead(DWORD error, std::size_t bytes) {
  OutstandingRead done = std::move(t_read);
  t_read = OutstandingRead{};
  done.overlapped->Internal = error;
  done.overlapped->InternalHigh = bytes;
  if (done.routine != nullptr) {
    done.routine(error, static_cast<DWORD>(bytes), done.overlapped);
  }
  return kWaitIoCompletion;
}

}  // namespace

EmulatedApi::EmulatedApi(EmulationOptions options) : options_(std::move(options)) {
  for (const char* name : {"kernel32.dll", "hid.dll", "setupapi.dll"}) {
    modules_.push_back(Module{name, 0});
  }
}

EmulatedApi::~EmulatedApi() {
  std::lock_guard lock(mutex_);
  for (auto& [value, entry] : handles_) {
    if (entry.file) entry.file->close();
  }
}

std::size_t EmulatedApi::openHandleCount() const {
  std::lock_guard lock(mutex_);
  return handles_.size();
}

int EmulatedApi::loadedModuleCount() const {
  std::lock_guard lock(mutex_);
  int loads = 0;
  for (const Module& m : modules_) loads += m.loads;
  return loads;
}

std::size_t EmulatedApi::livePreparsedCount() const {
  std::lock_guard lock(mutex_);
  return preparsed_.size();
}

HANDLE EmulatedApi::addHandle(HandleEntry entry) {
  std::lock_guard lock(mutex_);
  const std::uintptr_t value = nextHandle_;
  nextHandle_ += 4;
  handles_.emplace(value, std::move(entry));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<DeviceFile> EmulatedApi::fileOf(HANDLE handle) {
  std::lock_guard lock(mutex_);
  const auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == handles_.end() ? nullptr : it->second.file;
}

std::shared_ptr<EmulatedApi::DeviceInfoSet> EmulatedApi::setOf(HANDLE handle) {
  std::lock_guard lock(mutex_);
  const auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == handles_.end() ? nullptr : it->second.set;
}

bool EmulatedApi::entryMissing(FARPROC entry) {
  if (entry != nullptr) return false;
  SetLastError(kErrorProcNotFound);
  return true;
}

HANDLE EmulatedApi::CreateFileA(const char* fileName, DWORD desiredAccess, DWORD /*shareMode*/,
                                void* /*securityAttributes*/, DWORD creationDisposition,
                                DWORD /*flagsAndAttributes*/, HANDLE /*templateFile*/) {
  if (fileName == nullptr || creationDisposition != kOpenExisting) {
    SetLastError(kErrorInvalidParameter);
    return invalidHandle();
  }
  DWORD error = kErrorSuccess;
  auto file = openDevice(fileName, (desiredAccess & kGenericRead) != 0,
                         (desiredAccess & kGenericWrite) != 0, error);
  if (!file) {
    SetLastError(error);
    return invalidHandle();
  }
  return addHandle(HandleEntry{std::move(file), nullptr});
}

BOOL EmulatedApi::CloseHandle(HANDLE handle) {
  HandleEntry entry;
  {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == handles_.end()) {
      t_lastError = kErrorInvalidHandle;
      return 0;
    }
    entry = std::move(it->second);
    handles_.erase(it);
  }
  // Ends a read blocked on the file in another thread; that thread still holds the file.
  if (entry.file) entry.file->close();
  return 1;
}

BOOL EmulatedApi::WriteFile(HANDLE handle, const void* buffer, DWORD bytesToWrite,
                            DWORD* bytesWritten, OVERLAPPED* overlapped) {
  if (bytesWritten != nullptr) *bytesWritten = 0;
  const auto file = fileOf(handle);
  if (!file || overlapped != nullptr || buffer == nullptr) {
    SetLastError(file ? kErrorInvalidParameter : kErrorInvalidHandle);
    return 0;
  }
  if (!file->canWrite()) {
    SetLastError(kErrorAccessDenied);
    return 0;
  }
  const DWORD error = file->write(static_cast<const std::uint8_t*>(buffer), bytesToWrite);
  if (error != kErrorSuccess) {
    SetLastError(error);
    return 0;
  }
  if (bytesWritten != nullptr) *bytesWritten = bytesToWrite;
  return 1;
}

BOOL EmulatedApi::ReadFileEx(HANDLE handle, void* buffer, DWORD bytesToRead, OVERLAPPED* overlapped,
                             CompletionRoutine routine) {
  auto file = fileOf(handle);
  if (!file) {
    SetLastError(kErrorInvalidHandle);
    return 0;
  }
  if (overlapped == nullptr || (buffer == nullptr && bytesToRead > 0)) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  if (!file->canRead()) {
    SetLastError(kErrorAccessDenied);
    return 0;
  }
  if (t_read.file) {
    SetLastError(kErrorTooManyOutstandingReads);
    return 0;
  }
  if (const DWORD error = file->readStartError(); error != kErrorSuccess) {
    SetLastError(error);
    return 0;
  }
  overlapped->Internal = kPending;
  overlapped->InternalHigh = 0;
  t_read.file = std::move(file);
  t_read.buffer = static_cast<std::uint8_t*>(buffer);
  t_read.count = bytesToRead;
  t_read.overlapped = overlapped;
  t_read.routine = routine;
  t_read.owner = this;
  t_read.cancelled = false;
  return 1;
}

DWORD EmulatedApi::SleepEx(DWORD milliseconds, BOOL alertable) {
  const auto timeout = std::chrono::milliseconds(milliseconds);
  if (!alertable || !t_read.file || t_read.owner != this) {
    std::this_thread::sleep_for(timeout);
    return 0;
  }
  if (t_read.cancelled) return completeRead(kErrorOperationAborted, 0);
  std::size_t length = 0;
  switch (t_read.file->awaitRead(t_read.buffer, t_read.count, length, timeout)) {
    case nuv::IoStatus::Ok:
      return completeRead(kErrorSuccess, length);
    case nuv::IoStatus::TimedOut:
      return 0;
    case nuv::IoStatus::Gone:
      return completeRead(kErrorDeviceNotConnected, 0);
    case nuv::IoStatus::Failed:
      return completeRead(kErrorGenFailure, 0);
    case nuv::IoStatus::Cancelled:
      break;
  }
  return completeRead(kErrorOperationAborted, 0);
}

BOOL EmulatedApi::GetOverlappedResult(HANDLE handle, OVERLAPPED* overlapped,
                                      DWORD* bytesTransferred, BOOL wait) {
  if (bytesTransferred != nullptr) *bytesTransferred = 0;
  if (!fileOf(handle) || overlapped == nullptr) {
    SetLastError(overlapped == nullptr ? kErrorInvalidParameter : kErrorInvalidHandle);
    return 0;
  }
  if (overlapped->Internal == kPending) {
    // Waiting would need the event the completion-routine form leaves out; the layer never
    // waits here.
    SetLastError(wait ? kErrorInvalidParameter : kErrorIoIncomplete);
    return 0;
  }
  if (bytesTransferred != nullptr) *bytesTransferred = static_cast<DWORD>(overlapped->InternalHigh);
  if (overlapped->Internal != kErrorSuccess) {
    SetLastError(static_cast<DWORD>(overlapped->Internal));
    return 0;
  }
  return 1;
}

DWORD EmulatedApi::GetLastError() {
  return t_lastError;
}

void EmulatedApi::SetLastError(DWORD error) {
  t_lastError = error;
}

HMODULE EmulatedApi::LoadLibraryA(const char* fileName) {
  const std::string name = lowerCase(fileName);
  for (const std::string& missing : options_.missingLibraries) {
    if (lowerCase(missing.c_str()) == name) {
      SetLastError(kErrorModNotFound);
      return nullptr;
    }
  }
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < modules_.size(); ++i) {
    if (modules_[i].name == name) {
      ++modules_[i].loads;
      return reinterpret_cast<HMODULE>((i + 1) * 0x10000);
    }
  }
  t_lastError = kErrorModNotFound;
  return nullptr;
}

bool EmulatedApi::exports(const std::string& module, const std::string& name) const {
  if (options_.missingNames.count(name) != 0) return false;
  if (module == "hid.dll") return startsWith(name, "HidD_") || startsWith(name, "HidP_");
  if (module == "setupapi.dll") return startsWith(name, "Setup");
  if (module == "kernel32.dll") return name == "CancelIo";
  return false;
}

FARPROC EmulatedApi::GetProcAddress(HMODULE module, const char* procName) {
  const std::size_t index = reinterpret_cast<std::uintptr_t>(module) / 0x10000;
  std::string moduleName;
  {
    std::lock_guard lock(mutex_);
    if (index == 0 || index > modules_.size() || modules_[index - 1].loads == 0 ||
        reinterpret_cast<std::uintptr_t>(module) % 0x10000 != 0) {
      t_lastError = kErrorInvalidHandle;
      return nullptr;
    }
    moduleName = modules_[index - 1].name;
  }
  if (procName == nullptr || !exports(moduleName, procName)) {
    SetLastError(kErrorProcNotFound);
    return nullptr;
  }
  return &exportedPlaceholder;
}

BOOL EmulatedApi::FreeLibrary(HMODULE module) {
  const std::size_t index = reinterpret_cast<std::uintptr_t>(module) / 0x10000;
  std::lock_guard lock(mutex_);
  if (index == 0 || index > modules_.size() || modules_[index - 1].loads == 0) {
    t_lastError = kErrorInvalidHandle;
    return 0;
  }
  --modules_[index - 1].loads;
  return 1;
}

BOOL EmulatedApi::CancelIo(FARPROC entry, HANDLE handle) {
  if (entryMissing(entry)) return 0;
  const auto file = fileOf(handle);
  if (!file) {
    SetLastError(kErrorInvalidHandle);
    return 0;
  }
  if (t_read.file == file) t_read.cancelled = true;
  return 1;
}

void EmulatedApi::HidD_GetHidGuid(FARPROC entry, GUID* hidGuid) {
  if (entryMissing(entry) || hidGuid == nullptr) return;
  *hidGuid = kHidInterfaceClass;
}

BOOLEAN EmulatedApi::HidD_GetAttributes(FARPROC entry, HANDLE device, HIDD_ATTRIBUTES* attributes) {
  if (entryMissing(entry)) return 0;
  const auto file = fileOf(device);
  if (!file || attributes == nullptr || attributes->Size != sizeof(HIDD_ATTRIBUTES)) {
    SetLastError(file ? kErrorInvalidParameter : kErrorInvalidHandle);
    return 0;
  }
  if (const DWORD error = file->attributes(*attributes); error != kErrorSuccess) {
    SetLastError(error);
    return 0;
  }
  return 1;
}

BOOLEAN EmulatedApi::HidD_GetPreparsedData(FARPROC entry, HANDLE device,
                                           PHIDP_PREPARSED_DATA* preparsed) {
  if (entryMissing(entry)) return 0;
  const auto file = fileOf(device);
  if (!file || preparsed == nullptr) {
    SetLastError(file ? kErrorInvalidParameter : kErrorInvalidHandle);
    return 0;
  }
  HIDP_CAPS caps{};
  if (const DWORD error = file->capabilities(caps); error != kErrorSuccess) {
    SetLastError(error);
    return 0;
  }
  // The blob's address is its identity; its content is never read.
  auto blob = std::make_unique<std::uint64_t>(0);
  std::lock_guard lock(mutex_);
  *preparsed = blob.release();
  preparsed_.emplace(*preparsed, caps);
  return 1;
}

BOOLEAN EmulatedApi::HidD_FreePreparsedData(FARPROC entry, PHIDP_PREPARSED_DATA preparsed) {
  if (entryMissing(entry)) return 0;
  std::lock_guard lock(mutex_);
  const auto it = preparsed_.find(preparsed);
  if (it == preparsed_.end()) {
    t_lastError = kErrorInvalidParameter;
    return 0;
  }
  preparsed_.erase(it);
  delete static_cast<std::uint64_t*>(preparsed);
  return 1;
}

NTSTATUS EmulatedApi::HidP_GetCaps(FARPROC entry, PHIDP_PREPARSED_DATA preparsed,
                                   HIDP_CAPS* capabilities) {
  constexpr NTSTATUS kHidpStatusInvalidPreparsedData = static_cast<NTSTATUS>(0xC0110001u);
  if (entryMissing(entry)) return kHidpStatusInvalidPreparsedData;
  std::lock_guard lock(mutex_);
  const auto it = preparsed_.find(preparsed);
  if (it == preparsed_.end() || capabilities == nullptr) return kHidpStatusInvalidPreparsedData;
  *capabilities = it->second;
  return kHidpStatusSuccess;
}

HDEVINFO EmulatedApi::SetupDiGetClassDevsA(FARPROC entry, const GUID* classGuid,
                                           const char* /*enumerator*/, HWND /*parent*/,
                                           DWORD flags) {
  if (entryMissing(entry)) return invalidHandle();
  if (classGuid == nullptr || !(*classGuid == kHidInterfaceClass) ||
      flags != (kDigcfPresent | kDigcfDeviceInterface)) {
    SetLastError(kErrorInvalidParameter);
    return invalidHandle();
  }
  auto set = std::make_shared<DeviceInfoSet>();
  DWORD error = kErrorSuccess;
  if (!listInterfaces(set->interfaces, error)) {
    SetLastError(error);
    return invalidHandle();
  }
  return addHandle(HandleEntry{nullptr, std::move(set)});
}

BOOL EmulatedApi::SetupDiEnumDeviceInterfaces(FARPROC entry, HDEVINFO setHandle,
                                              SP_DEVINFO_DATA* /*deviceInfo*/,
                                              const GUID* interfaceClass, DWORD memberIndex,
                                              SP_DEVICE_INTERFACE_DATA* data) {
  if (entryMissing(entry)) return 0;
  const auto set = setOf(setHandle);
  if (!set || interfaceClass == nullptr || data == nullptr ||
      data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(set ? kErrorInvalidParameter : kErrorInvalidHandle);
    return 0;
  }
  if (memberIndex >= set->interfaces.size()) {
    SetLastError(kErrorNoMoreItems);
    return 0;
  }
  data->InterfaceClassGuid = *interfaceClass;
  data->Flags = 1;  // SPINT_ACTIVE
  data->Reserved = memberIndex;
  return 1;
}

BOOL EmulatedApi::SetupDiGetDeviceInterfaceDetailA(FARPROC entry, HDEVINFO setHandle,
                                                   SP_DEVICE_INTERFACE_DATA* data, void* detail,
                                                   DWORD detailSize, DWORD* requiredSize,
                                                   SP_DEVINFO_DATA* deviceInfo) {
  if (entryMissing(entry)) return 0;
  const auto set = setOf(setHandle);
  if (!set || data == nullptr || data->Reserved >= set->interfaces.size()) {
    SetLastError(set ? kErrorInvalidParameter : kErrorInvalidHandle);
    return 0;
  }
  const InterfaceEntry& found = set->interfaces[data->Reserved];
  if (!detailReadable(found.path)) {
    SetLastError(kErrorGenFailure);
    return 0;
  }
  const DWORD needed = static_cast<DWORD>(kInterfaceDetailPathOffset + found.path.size() + 1);
  if (requiredSize != nullptr) *requiredSize = needed;
  if (detail == nullptr || detailSize < needed) {
    SetLastError(kErrorInsufficientBuffer);
    return 0;
  }
  DWORD cbSize = 0;
  std::memcpy(&cbSize, detail, sizeof cbSize);
  if (cbSize != kInterfaceDetailCbSize ||
      (deviceInfo != nullptr && deviceInfo->cbSize != sizeof(SP_DEVINFO_DATA))) {
    SetLastError(kErrorInvalidUserBuffer);
    return 0;
  }
  std::memcpy(static_cast<char*>(detail) + kInterfaceDetailPathOffset, found.path.c_str(),
              found.path.size() + 1);
  if (deviceInfo != nullptr) {
    deviceInfo->ClassGuid = kHidInterfaceClass;
    deviceInfo->DevInst = found.devInst;
    deviceInfo->Reserved = 0;
  }
  return 1;
}

BOOL EmulatedApi::SetupDiDestroyDeviceInfoList(FARPROC entry, HDEVINFO set) {
  if (entryMissing(entry)) return 0;
  if (!setOf(set)) {
    SetLastError(kErrorInvalidHandle);
    return 0;
  }
  return CloseHandle(set);
}

}  // namespace nuv::winapi
