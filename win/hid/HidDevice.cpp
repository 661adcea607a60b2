// THidDevice: opening, report lengths, writes, switching input on and off, detach and hand-back.
#include <cstdlib>
#include <optional>

#include "protocol/Log.h"
#include "win/hid/HidControllerClass.h"

namespace nuv::hid {
namespace {

constexpr std::int32_t kMinReadSlice = 10;
constexpr std::int32_t kMaxReadSlice = 10000;

}  // namespace

THidDevice::THidDevice(std::unique_ptr<THidPnPInfo> PnpRecord, THidDeviceController& Controller)
    : process_(Controller.process_),
      controller_(&Controller),
      syncHandle_(winapi::invalidHandle()),
      readHandle_(winapi::invalidHandle()),
      writeHandle_(winapi::invalidHandle()),
      pnpRecord_(std::move(PnpRecord)) {
  // Not claimed yet, so this only stores the handler.
  SetOnReport(Controller.OnDeviceData());
  onReadError_ = Controller.OnDeviceDataError();
  onDetach_ = Controller.OnDeviceUnplug();

  syncHandle_ = openHandle(winapi::kGenericRead | winapi::kGenericWrite, 0);
  canReadWrite_ = syncHandle_ != winapi::invalidHandle();
  if (!canReadWrite_) syncHandle_ = openHandle(0, 0);
  if (syncHandle_ == winapi::invalidHandle()) throw EControllerError(kDeviceCannotBeOpenedText);
  hidAttributes_.Size = sizeof(winapi::HIDD_ATTRIBUTES);
  if (!process_.hid.GetAttributes(syncHandle_, hidAttributes_)) {
    CloseSync();
    throw EControllerError(kDeviceCannotBeIdentifiedText);
  }
  CloseSync();
}

THidDevice::~THidDevice() {
  destroying_ = true;
  const THidDataEvent rememberedReport = onReport_;
  const THidPlugEvent rememberedDetach = onDetach_;
  SetOnReport(nullptr);
  onDetach_ = nullptr;
  CloseSync();
  CloseOverlapped(TOpenMode::ReadMode);
  CloseOverlapped(TOpenMode::WriteMode);
  releasePreparsed();
  if (controller_ != nullptr)
    controller_->deviceDestroyed(*this, rememberedReport, rememberedDetach);
}

void THidDevice::releasePreparsed() {
  if (reader_) return;
  if (winapi::PHIDP_PREPARSED_DATA preparsed = preparsed_.exchange(nullptr)) {
    (void)process_.hid.FreePreparsedData(preparsed);
  }
}

bool THidDevice::IsUsable() const {
  return present_.load() && (claimed_.load() || inCallback_.load());
}

winapi::HANDLE THidDevice::openHandle(winapi::DWORD access, winapi::DWORD flags) {
  return process_.api.CreateFileA(pnpRecord_->DevicePath.c_str(), access,
                                  winapi::kFileShareRead | winapi::kFileShareWrite, nullptr,
                                  winapi::kOpenExisting, flags, nullptr);
}

void THidDevice::closeHandle(winapi::HANDLE& handle) {
  if (handle == winapi::invalidHandle()) return;
  (void)process_.api.CloseHandle(handle);
  handle = winapi::invalidHandle();
}

bool THidDevice::OpenSync() {
  if (IsUsable() && syncHandle_ == winapi::invalidHandle()) {
    syncHandle_ = openHandle(winapi::kGenericRead | winapi::kGenericWrite, 0);
    canReadWrite_ = syncHandle_ != winapi::invalidHandle();
    if (!canReadWrite_) syncHandle_ = openHandle(0, 0);
  }
  return syncHandle_ != winapi::invalidHandle();
}

bool THidDevice::openReadLocked() {
  if (!IsUsable()) return false;
  if (readHandle_ == winapi::invalidHandle()) {
    readHandle_ = openHandle(winapi::kGenericRead, winapi::kFileFlagOverlapped);
  }
  return readHandle_ != winapi::invalidHandle();
}

bool THidDevice::OpenOverlapped(TOpenMode Mode) {
  if (Mode == TOpenMode::ReadMode) {
    std::lock_guard lock(readHandleMutex_);
    return openReadLocked();
  }
  if (!IsUsable()) return false;
  if (writeHandle_ == winapi::invalidHandle()) {
    writeHandle_ = openHandle(winapi::kGenericWrite, winapi::kFileFlagOverlapped);
  }
  return writeHandle_ != winapi::invalidHandle();
}

void THidDevice::CloseSync() {
  closeHandle(syncHandle_);
}

void THidDevice::CloseOverlapped(TOpenMode Mode) {
  if (Mode == TOpenMode::ReadMode) {
    std::lock_guard lock(readHandleMutex_);
    closeHandle(readHandle_);
  } else {
    closeHandle(writeHandle_);
  }
}

winapi::HIDP_CAPS THidDevice::cachedCapabilities() {
  winapi::HIDP_CAPS caps{};
  if (winapi::PHIDP_PREPARSED_DATA preparsed = preparsed_.load()) {
    if (process_.hid.GetCaps(preparsed, caps) != winapi::kHidpStatusSuccess) caps = {};
  }
  return caps;
}

winapi::HIDP_CAPS THidDevice::Capabilities() {
  if (preparsed_.load() == nullptr && OpenSync()) {
    winapi::PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (process_.hid.GetPreparsedData(syncHandle_, preparsed)) preparsed_.store(preparsed);
    CloseSync();
  }
  return cachedCapabilities();
}

bool THidDevice::WriteReport(const void* Report, std::uint32_t Count, std::uint32_t& Written) {
  Written = 0;
  if (!OpenSync()) return false;
  winapi::DWORD written = 0;
  const bool ok = process_.api.WriteFile(syncHandle_, Report, Count, &written, nullptr) != 0;
  Written = written;
  return ok;
}

void THidDevice::SetOnReport(THidDataEvent Handler) {
  if (!Handler) StopReader();
  onReport_ = Handler;
  StartReader();
}

void THidDevice::StartReader() {
  // A reader told to end from inside its own hand-over could not be waited for then; it is
  // reaped at the next start or stop.
  if (reader_ && reader_->Terminated() && !reader_->Delivering()) StopReader();
  if (!onReport_ || !present_.load() || !claimed_.load() || !canReadWrite_) return;
  if (reader_) {
    // Still inside that hand-over: the reader has not looked at the end request yet, so it can
    // simply go on.
    reader_->Revive();
    return;
  }
  // Each handle gets its own copy of the input reports from the moment it is open. Opening the
  // read handle here, before the thread runs, means a reply to a report written right after
  // input was switched on cannot arrive before anyone listens. (A failure is left to the
  // reader's first start, which reports it.)
  (void)OpenOverlapped(TOpenMode::ReadMode);
  reader_ = std::make_unique<THidDeviceReadThread>(*this);
  reader_->Start();
}

void THidDevice::StopReader() {
  if (!reader_) return;
  if (reader_->Delivering()) {
    // Called from this device's own OnReport or OnReadError: the reader waits for that very call
    // to return, so waiting for the reader here would never end. It is told to end instead.
    if (destroying_) {
      nuv::logLine("HID layer: " + pnpRecord_->DevicePath +
                   " destroyed inside its own input handler; cannot continue");
      std::abort();
    }
    reader_->Terminate();
    return;
  }
  // Stopping may run a report handler; no rescan may run under it.
  std::optional<THidDeviceController::BusyGuard> guard;
  if (controller_ != nullptr) guard.emplace(*controller_);
  reader_->Terminate();
  reader_->WaitFor();
  reader_.reset();
}

void THidDevice::Detach() {
  {
    // Together, so that the reader either started its read before (and the close ends it) or
    // finds the object unusable.
    std::lock_guard lock(readHandleMutex_);
    present_ = false;
    closeHandle(readHandle_);
  }
  CloseSync();
  CloseOverlapped(TOpenMode::WriteMode);
  if (onDetach_) {
    const THidPlugEvent handler = onDetach_;
    onDetach_ = nullptr;
    handler(*this);
  }
}

void THidDevice::SetReadSlice(std::int32_t Milliseconds) {
  if (Milliseconds >= kMinReadSlice && Milliseconds <= kMaxReadSlice) readSlice_ = Milliseconds;
}

bool THidDevice::StartRead(void* Buffer, std::uint32_t Count, winapi::CompletionRoutine Done) {
  std::lock_guard lock(readHandleMutex_);
  if (!openReadLocked()) return false;
  readOverlap_ = winapi::OVERLAPPED{};
  // The completion-routine form of reading leaves hEvent to the caller.
  readOverlap_.hEvent = this;
  return process_.api.ReadFileEx(readHandle_, Buffer, Count, &readOverlap_, Done) != 0;
}

std::uint32_t THidDevice::ReadResult() {
  std::lock_guard lock(readHandleMutex_);
  if (readHandle_ == winapi::invalidHandle()) return 0;
  winapi::DWORD bytes = 0;
  if (process_.api.GetOverlappedResult(readHandle_, &readOverlap_, &bytes, 0) == 0) return 0;
  return bytes;
}

bool THidDevice::CancelPending(TOpenMode Mode) {
  std::unique_lock lock(readHandleMutex_, std::defer_lock);
  if (Mode == TOpenMode::ReadMode) lock.lock();
  const winapi::HANDLE handle = Mode == TOpenMode::ReadMode ? readHandle_ : writeHandle_;
  if (handle == winapi::invalidHandle()) return false;
  // Looked up at each use, as CancelIo is missing from the oldest kernels.
  winapi::Api& api = process_.api;
  const winapi::HMODULE kernel = api.LoadLibraryA("kernel32.dll");
  if (kernel == nullptr) return false;
  const winapi::FARPROC cancelIo = api.GetProcAddress(kernel, "CancelIo");
  const bool cancelled = cancelIo != nullptr && api.CancelIo(cancelIo, handle) != 0;
  (void)api.FreeLibrary(kernel);
  return cancelled;
}

}  // namespace nuv::hid
