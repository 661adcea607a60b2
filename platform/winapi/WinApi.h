// The Windows services the HID layer stands on (kernel32 file I/O and module loading, hid.dll,
// setupapi.dll), as one table of operations with their Windows meaning, so that the layer's
// logic runs unchanged on every backend:
//
//   win32.cpp  the real thing (Win32 builds only; Win32.h): kernel32 called directly, hid.dll
//              and setupapi.dll entry points called through the slots the layer bound at run
//              time.
//   sim.cpp    the virtual HID bus of the emulated update device (Sim.h).
//   linux.cpp  hidraw nodes found and watched with libudev (Linux.h).
//
// Each backend's header declares its factory. sim and linux share the emulated base of
// Emulated.h (emulated.cpp), which is not a backend.
//
// The emulated backends (sim, linux) keep the Windows contract where the layer relies on it:
//  - handles are values in a per-backend table, never reused, so a stale handle fails with
//    kErrorInvalidHandle instead of touching another object;
//  - ReadFileEx starts a read whose completion routine runs only inside an alertable SleepEx of
//    the thread that started it (SleepEx then returns kWaitIoCompletion, or 0 when the time ran
//    out). One outstanding read per thread is supported, which is all the layer issues;
//  - CloseHandle from any thread ends a read outstanding on the handle: the reading thread's next
//    alertable wait completes it with kErrorOperationAborted;
//  - CancelIo cancels the calling thread's outstanding read on a handle;
//  - GetLastError is per thread.
//
// Entry points of hid.dll and setupapi.dll take the slot the layer looked up with GetProcAddress
// as their first argument. The win32 backend calls through it; the emulated backends only
// refuse a null slot (kErrorProcNotFound), so a call can never bypass the binding.
//
// Threads: every operation may be called from any thread. Ownership: the caller owns what it
// opened (handles, modules, device information sets, preparsed data) until it closes it.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && defined(__i386__)
#define NUV_WINAPI __attribute__((stdcall))
#else
#define NUV_WINAPI
#endif

namespace nuv::winapi {

using DWORD = std::uint32_t;
using BOOL = std::int32_t;
using BOOLEAN = std::uint8_t;
using USHORT = std::uint16_t;
using ULONG_PTR = std::uintptr_t;
using NTSTATUS = std::int32_t;
using HANDLE = void*;
using HMODULE = void*;
using HDEVINFO = void*;
using HWND = void*;
using PHIDP_PREPARSED_DATA = void*;
using FARPROC = void (*)();  // the generic entry point; cast to the real type at the call

// INVALID_HANDLE_VALUE: all bits set. Also what SetupDiGetClassDevsA returns on failure.
[[nodiscard]] inline HANDLE invalidHandle() {
  return reinterpret_cast<HANDLE>(~std::uintptr_t{0});
}

inline constexpr DWORD kGenericRead = 0x80000000u;
inline constexpr DWORD kGenericWrite = 0x40000000u;
inline constexpr DWORD kFileShareRead = 0x00000001u;
inline constexpr DWORD kFileShareWrite = 0x00000002u;
inline constexpr DWORD kOpenExisting = 3;
inline constexpr DWORD kFileFlagOverlapped = 0x40000000u;
inline constexpr DWORD kWaitIoCompletion = 192;  // WAIT_IO_COMPLETION
inline constexpr DWORD kDigcfPresent = 0x02;
inline constexpr DWORD kDigcfDeviceInterface = 0x10;
inline constexpr NTSTATUS kHidpStatusSuccess = 0x00110000;

inline constexpr DWORD kErrorSuccess = 0;
inline constexpr DWORD kErrorFileNotFound = 2;
inline constexpr DWORD kErrorAccessDenied = 5;
inline constexpr DWORD kErrorInvalidHandle = 6;
inline constexpr DWORD kErrorNotEnoughMemory = 8;
inline constexpr DWORD kErrorGenFailure = 31;
inline constexpr DWORD kErrorInvalidParameter = 87;
inline constexpr DWORD kErrorInsufficientBuffer = 122;
inline constexpr DWORD kErrorModNotFound = 126;
inline constexpr DWORD kErrorProcNotFound = 127;
inline constexpr DWORD kErrorNoMoreItems = 259;
inline constexpr DWORD kErrorOperationAborted = 995;
inline constexpr DWORD kErrorIoIncomplete = 996;
inline constexpr DWORD kErrorDeviceNotConnected = 1167;
inline constexpr DWORD kErrorInvalidUserBuffer = 1784;
inline constexpr DWORD kErrorTooManyOutstandingReads = 1816;  // ERROR_NOT_ENOUGH_QUOTA

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
[[nodiscard]] inline bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i) {
    if (a.Data4[i] != b.Data4[i]) return false;
  }
  return true;
}
// GUID_DEVINTERFACE_HID {4D1E55B2-F16F-11CF-88CB-001111000030}.
inline constexpr GUID kHidInterfaceClass{
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// The OVERLAPPED record: 20 bytes on 32-bit Windows, 32 on 64-bit.
struct OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;
};

using CompletionRoutine = void(NUV_WINAPI*)(DWORD errorCode, DWORD bytesTransferred,
                                            OVERLAPPED* overlapped);

struct HIDD_ATTRIBUTES {
  std::uint32_t Size;
  USHORT VendorID;
  USHORT ProductID;
  USHORT VersionNumber;
};

// 64 bytes; the layer reads the first five fields. Report lengths count the report-ID byte.
struct HIDP_CAPS {
  USHORT Usage;
  USHORT UsagePage;
  USHORT InputReportByteLength;
  USHORT OutputReportByteLength;
  USHORT FeatureReportByteLength;
  USHORT Reserved[17];
  USHORT NumberLinkCollectionNodes;
  USHORT NumberInputButtonCaps;
  USHORT NumberInputValueCaps;
  USHORT NumberInputDataIndices;
  USHORT NumberOutputButtonCaps;
  USHORT NumberOutputValueCaps;
  USHORT NumberOutputDataIndices;
  USHORT NumberFeatureButtonCaps;
  USHORT NumberFeatureValueCaps;
  USHORT NumberFeatureDataIndices;
};
static_assert(sizeof(HIDP_CAPS) == 64);

struct SP_DEVICE_INTERFACE_DATA {
  DWORD cbSize;
  GUID InterfaceClassGuid;
  DWORD Flags;
  ULONG_PTR Reserved;
};

struct SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
};

// SP_DEVICE_INTERFACE_DETAIL_DATA_A is a DWORD cbSize followed by the path text. Its cbSize is
// that of the packed record (5 on 32-bit Windows, 8 on 64-bit), not of the whole buffer.
inline constexpr DWORD kInterfaceDetailCbSize = sizeof(void*) == 4 ? 5 : 8;
inline constexpr std::size_t kInterfaceDetailPathOffset = sizeof(DWORD);

// Every call reports failure as Windows does: a zero BOOL/BOOLEAN, a null module or entry point,
// or INVALID_HANDLE_VALUE, with the reason in GetLastError. The reasons the layer can meet are
// listed per call; the win32 backend may give any other Windows code as well, and the layer
// treats an unlisted code as the call's plain failure. Common to every call that takes one:
//   kErrorInvalidHandle     a handle (file, module, device information set) that is not open,
//                           or was closed;
//   kErrorProcNotFound      a null entry-point slot (the layer never bound it).
// Where the backends differ:
//  - win32 refuses a null slot without setting the last error, and its HidP_GetCaps gives 0
//    for it (the emulated backends: HIDP_STATUS_INVALID_PREPARSED_DATA);
//  - linux reads the report descriptor when a handle is opened, so HidD_GetPreparsedData
//    still succeeds after an unplug (sim: kErrorDeviceNotConnected), and kErrorGenFailure is
//    its answer when that descriptor could not be read or parsed;
//  - linux answers HidD_GetAttributes on a query-only handle from the node's sysfs entry, which
//    goes with the device: kErrorFileNotFound after an unplug, not kErrorDeviceNotConnected;
//  - ReadFileEx on an unplugged device: sim refuses to start it (kErrorDeviceNotConnected);
//    linux starts it and completes it with that code, and refuses only the reads after.
class Api {
 public:
  virtual ~Api() = default;

  // kernel32

  // Opens a device path (OPEN_EXISTING only). Access 0 opens for queries (attributes,
  // capabilities) alone. Fails with kErrorFileNotFound (no such device, or unplugged since it
  // was listed), kErrorAccessDenied (the node refuses read or write access),
  // kErrorDeviceNotConnected (unplugged while opening), kErrorGenFailure (any other system
  // error), kErrorInvalidParameter (null name or another disposition).
  [[nodiscard]] virtual HANDLE CreateFileA(const char* fileName, DWORD desiredAccess,
                                           DWORD shareMode, void* securityAttributes,
                                           DWORD creationDisposition, DWORD flagsAndAttributes,
                                           HANDLE templateFile) = 0;
  // Any thread; ends a read outstanding on the handle (see above).
  virtual BOOL CloseHandle(HANDLE handle) = 0;
  // Writes one output report, whole, and returns when it is sent. Fails with
  // kErrorAccessDenied (opened without write access), kErrorDeviceNotConnected (unplugged),
  // kErrorInvalidParameter (null buffer, a length the device does not take, or an OVERLAPPED on
  // the emulated backends), kErrorGenFailure (the device refused the report).
  [[nodiscard]] virtual BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite,
                                       DWORD* bytesWritten, OVERLAPPED* overlapped) = 0;
  // Starts reading one input report; `routine` runs inside a later alertable SleepEx of this
  // thread with the read's error: kErrorSuccess, kErrorDeviceNotConnected (unplugged),
  // kErrorOperationAborted (CancelIo, or the handle was closed), kErrorGenFailure. The start
  // itself fails with kErrorAccessDenied (no read access), kErrorTooManyOutstandingReads (this
  // thread already has a read outstanding), kErrorDeviceNotConnected, kErrorGenFailure,
  // kErrorInvalidParameter (null OVERLAPPED, or a null buffer for a non-empty read).
  [[nodiscard]] virtual BOOL ReadFileEx(HANDLE file, void* buffer, DWORD bytesToRead,
                                        OVERLAPPED* overlapped, CompletionRoutine routine) = 0;
  // kWaitIoCompletion when a completion routine ran, 0 when the time ran out.
  virtual DWORD SleepEx(DWORD milliseconds, BOOL alertable) = 0;
  // The result of a completed read. Fails with kErrorIoIncomplete (still outstanding and
  // `wait` false), the read's own error when it failed, kErrorInvalidParameter (null
  // OVERLAPPED).
  [[nodiscard]] virtual BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped,
                                                 DWORD* bytesTransferred, BOOL wait) = 0;
  // This thread's last error.
  [[nodiscard]] virtual DWORD GetLastError() = 0;
  virtual void SetLastError(DWORD error) = 0;
  // Null with kErrorModNotFound when the library is not there.
  [[nodiscard]] virtual HMODULE LoadLibraryA(const char* fileName) = 0;
  // Null with kErrorProcNotFound when the module exports no such name.
  [[nodiscard]] virtual FARPROC GetProcAddress(HMODULE module, const char* procName) = 0;
  virtual BOOL FreeLibrary(HMODULE module) = 0;
  // CancelIo, called through the entry point looked up in kernel32.dll. Cancels this thread's
  // read on the handle, which completes with kErrorOperationAborted; succeeds when there is
  // none.
  virtual BOOL CancelIo(FARPROC entry, HANDLE file) = 0;

  // hid.dll

  virtual void HidD_GetHidGuid(FARPROC entry, GUID* hidGuid) = 0;
  // Fails with kErrorDeviceNotConnected (unplugged), kErrorGenFailure (the device did not
  // answer), kErrorInvalidParameter (null record).
  [[nodiscard]] virtual BOOLEAN HidD_GetAttributes(FARPROC entry, HANDLE device,
                                                   HIDD_ATTRIBUTES* attributes) = 0;
  // Fails as HidD_GetAttributes does (kErrorGenFailure also when the node's report descriptor
  // cannot be read).
  [[nodiscard]] virtual BOOLEAN HidD_GetPreparsedData(FARPROC entry, HANDLE device,
                                                      PHIDP_PREPARSED_DATA* preparsed) = 0;
  // False with kErrorInvalidParameter for data not given by HidD_GetPreparsedData.
  virtual BOOLEAN HidD_FreePreparsedData(FARPROC entry, PHIDP_PREPARSED_DATA preparsed) = 0;
  // kHidpStatusSuccess; HIDP_STATUS_INVALID_PREPARSED_DATA (0xC0110001) for data not given by
  // HidD_GetPreparsedData or a null record.
  virtual NTSTATUS HidP_GetCaps(FARPROC entry, PHIDP_PREPARSED_DATA preparsed,
                                HIDP_CAPS* capabilities) = 0;

  // setupapi.dll

  // The present interfaces of a class, taken at this moment. Fails (INVALID_HANDLE_VALUE) with
  // kErrorInvalidParameter (null class) or kErrorGenFailure (the devices cannot be listed; the
  // linux backend gives kErrorNotEnoughMemory when that was the reason).
  [[nodiscard]] virtual HDEVINFO SetupDiGetClassDevsA(FARPROC entry, const GUID* classGuid,
                                                      const char* enumerator, HWND parent,
                                                      DWORD flags) = 0;
  // Fails with kErrorNoMoreItems past the last interface, kErrorInvalidParameter (null class or
  // record, or a record whose cbSize is wrong).
  [[nodiscard]] virtual BOOL SetupDiEnumDeviceInterfaces(FARPROC entry, HDEVINFO set,
                                                         SP_DEVINFO_DATA* deviceInfo,
                                                         const GUID* interfaceClass,
                                                         DWORD memberIndex,
                                                         SP_DEVICE_INTERFACE_DATA* data) = 0;
  // Fails with kErrorInsufficientBuffer and the size in *requiredSize when `detail` is too
  // small (the layer's first call, with no buffer), kErrorInvalidUserBuffer (a detail record
  // whose cbSize is not kInterfaceDetailCbSize), kErrorGenFailure (the detail cannot be read,
  // e.g. the device went away), kErrorInvalidParameter (null `data`, or one not filled by
  // SetupDiEnumDeviceInterfaces on this set). A `deviceInfo` whose cbSize is wrong is
  // kErrorInvalidUserBuffer too.
  [[nodiscard]] virtual BOOL SetupDiGetDeviceInterfaceDetailA(FARPROC entry, HDEVINFO set,
                                                              SP_DEVICE_INTERFACE_DATA* data,
                                                              void* detail, DWORD detailSize,
                                                              DWORD* requiredSize,
                                                              SP_DEVINFO_DATA* deviceInfo) = 0;
  virtual BOOL SetupDiDestroyDeviceInfoList(FARPROC entry, HDEVINFO set) = 0;
};

}  // namespace nuv::winapi
