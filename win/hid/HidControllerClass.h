// The HID device layer of Vornex: the controller THidDeviceController, which lists every HID
// interface present as a THidDevice, keeps the list in step with device-change notices and hands
// single devices to the application; the device object, which writes output reports and
// delivers input reports from its own reader thread THidDeviceReadThread to the GUI thread; and
// the plug-and-play record THidPnPInfo.
//
// Threads: everything runs on the GUI thread of `HidProcess::gui` except what is marked for the
// reader. Handlers (OnReport, OnReadError) are always called on the GUI thread, one at a time;
// the reader waits until each has run. Handlers of the controller (OnArrival, OnRemoval,
// OnDeviceChange) must not process messages: a device-change message handled there would start
// a nested rescan over the same list.
//
// Ownership: the controller owns its listed devices, except the claimed ones, which belong to
// the application; destroying a claimed device hands it back (a fresh unclaimed object takes its
// list slot). The HidProcess must outlive the controller and every device.
//
// Failures: constructors raise EControllerError; I/O operations return false; read errors reach
// OnReadError as Windows error codes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/forms/Forms.h"
#include "platform/winapi/WinApi.h"
#include "win/hid/Hid.h"
#include "win/hid/Method.h"
#include "win/hid/SetupApi.h"

namespace nuv::hid {

class EControllerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr char kOnlyOneControllerText[] =
    "Only one THidDeviceController allowed per program";
inline constexpr char kDeviceCannotBeOpenedText[] = "device cannot be opened";
inline constexpr char kDeviceCannotBeIdentifiedText[] = "device cannot be identified";

class THidDevice;
class THidDeviceController;

using THidDataEvent = TMethod<void(THidDevice& HidDev, std::uint8_t ReportID,
                                   const std::uint8_t* Data, std::uint16_t Size)>;
using THidDataErrorEvent = TMethod<void(THidDevice& HidDev, std::uint32_t Error)>;
using THidPlugEvent = TMethod<void(THidDevice& HidDev)>;
using THidEnumerateEvent = TMethod<bool(THidDevice& HidDev, std::int32_t Idx)>;
using TNotifyEvent = TMethod<void(THidDeviceController& Sender)>;

enum class TOpenMode { ReadMode = 0, WriteMode = 1 };

// Where a device lives: its identity and the path every handle of it is opened by.
struct THidPnPInfo {
  std::uint32_t DevInst = 0;
  std::string DevicePath;
};

// The process-wide state of the layer: the platform, the GUI thread, the binding of hid.dll and
// setupapi.dll and the count of live controllers. One per process (per emulated process in
// tests); it must outlive every controller and device made with it.
class HidProcess {
 public:
  HidProcess(winapi::Api& api, forms::GuiThread& gui)
      : api(api), gui(gui), hid(api), setupApi(api) {}
  HidProcess(const HidProcess&) = delete;
  HidProcess& operator=(const HidProcess&) = delete;

  winapi::Api& api;
  forms::GuiThread& gui;
  Hid hid;
  SetupApi setupApi;
  int ControllerCount = 0;
};

// One reader per claimed read/write device with an input-report handler. Created suspended by
// the device, started with Start(), ended with Terminate() + WaitFor(), then destroyed.
class THidDeviceReadThread {
 public:
  explicit THidDeviceReadThread(THidDevice& Device);
  // Requires the thread to have ended (WaitFor) or never started.
  ~THidDeviceReadThread();
  THidDeviceReadThread(const THidDeviceReadThread&) = delete;
  THidDeviceReadThread& operator=(const THidDeviceReadThread&) = delete;

  void Start();
  // Any thread: asks the thread to end; noticed within one ReadSlice.
  void Terminate();
  [[nodiscard]] bool Terminated() const { return terminated_.load(); }
  // GUI thread, only while Delivering(): takes the end request back.
  void Revive() { terminated_ = false; }
  // GUI thread: inside this reader's OnReport / OnReadError call.
  [[nodiscard]] bool Delivering() const { return delivering_; }
  // GUI thread: returns once the thread has ended, running the work it hands over meanwhile
  // (and nothing else: no clicks, timers or posted messages run under it).
  void WaitFor();

  [[nodiscard]] THidDevice& Device() const { return device_; }
  // Reader-thread fields; read them on the GUI thread only inside OnReport / OnReadError.
  [[nodiscard]] std::uint32_t LastError() const { return lastError_; }
  [[nodiscard]] std::uint32_t BytesRead() const { return bytesRead_; }

 private:
  void Execute();
  void waitBeforeRetry();
  [[nodiscard]] bool handOver(void (*work)(void*));
  void drainOutstandingRead();
  static void DeliverReport(void* self);
  static void DeliverError(void* self);
  static void MarkFinished(void* self);
  static void NUV_WINAPI IgnoreCompletion(winapi::DWORD, winapi::DWORD, winapi::OVERLAPPED*);

  THidDevice& device_;
  std::uint32_t lastError_ = 0;
  bool lengthErrorReported_ = false;  // reader thread only
  std::uint32_t bytesRead_ = 0;
  std::vector<std::uint8_t> reportBuffer_;
  std::thread thread_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> ended_{false};
  bool finishedSeen_ = false;  // GUI thread: the thread's last hand-over has run
  bool delivering_ = false;    // GUI thread
  bool started_ = false;
  // Wakes the reader's pause between failed starts (Terminate) and WaitFor (a hand-over is
  // coming, or the thread ended).
  std::mutex stateMutex_;
  std::condition_variable stateChanged_;
  bool handOverComing_ = false;
};

class THidDevice {
 public:
  // Hands the object back (see the class comment of the layer); stops the reader first.
  // Must not be called from inside this device's own OnReport or OnReadError (the reader waits
  // for that call): the program stops with a log line rather than hang.
  ~THidDevice();
  THidDevice(const THidDevice&) = delete;
  THidDevice& operator=(const THidDevice&) = delete;

  [[nodiscard]] const winapi::HIDD_ATTRIBUTES& HidAttributes() const { return hidAttributes_; }
  // The report lengths (counting the report-ID byte); all zero when the object could not be
  // used at first need, which is not cached.
  [[nodiscard]] winapi::HIDP_CAPS Capabilities();
  // One blocking write of `Count` bytes (byte 0 the report ID). False when the object is not
  // usable or the write failed.
  [[nodiscard]] bool WriteReport(const void* Report, std::uint32_t Count, std::uint32_t& Written);

  [[nodiscard]] const THidDataEvent& OnReport() const { return onReport_; }
  // Switches input on and off: none stops the reader (returning after it ended); a handler
  // starts it when the object is claimed, present and read/write. Another handler keeps it.
  // From inside this device's own OnReport / OnReadError, none only tells the reader to end
  // (it ends once the handler returned, and is reaped at the next start or stop).
  void SetOnReport(THidDataEvent Handler);
  [[nodiscard]] const THidDataErrorEvent& OnReadError() const { return onReadError_; }
  void SetOnReadError(THidDataErrorEvent Handler) { onReadError_ = Handler; }
  [[nodiscard]] const THidPlugEvent& OnDetach() const { return onDetach_; }
  void SetOnDetach(THidPlugEvent Handler) { onDetach_ = Handler; }

  [[nodiscard]] bool CanReadWrite() const { return canReadWrite_; }
  [[nodiscard]] bool Present() const { return present_.load(); }
  [[nodiscard]] bool Claimed() const { return claimed_.load(); }
  [[nodiscard]] bool InCallback() const { return inCallback_.load(); }
  [[nodiscard]] bool IsUsable() const;
  [[nodiscard]] THidDeviceController* Controller() const { return controller_; }
  [[nodiscard]] const THidPnPInfo& PnpRecord() const { return *pnpRecord_; }
  [[nodiscard]] std::int32_t ReadSlice() const { return readSlice_.load(); }
  [[nodiscard]] bool ReaderRunning() const { return reader_ && !reader_->Terminated(); }
  [[nodiscard]] const THidDeviceReadThread* Reader() const { return reader_.get(); }

  // The device has gone: handles closed, not present, OnDetach called once.
  void Detach();
  // Ignored outside 10..10000 ms.
  void SetReadSlice(std::int32_t Milliseconds);

  [[nodiscard]] bool OpenSync();
  [[nodiscard]] bool OpenOverlapped(TOpenMode Mode);
  void CloseSync();
  void CloseOverlapped(TOpenMode Mode);
  void StartReader();
  void StopReader();

  // Reader thread.
  [[nodiscard]] bool StartRead(void* Buffer, std::uint32_t Count, winapi::CompletionRoutine Done);
  [[nodiscard]] std::uint32_t ReadResult();
  [[nodiscard]] bool CancelPending(TOpenMode Mode);

 private:
  friend class THidDeviceController;
  friend class THidDeviceReadThread;

  // Raises EControllerError (and releases what it took) when the device cannot be opened or
  // identified.
  THidDevice(std::unique_ptr<THidPnPInfo> PnpRecord, THidDeviceController& Controller);
  [[nodiscard]] bool usableLocked() const;
  [[nodiscard]] winapi::HANDLE openHandle(winapi::DWORD access, winapi::DWORD flags);
  void closeHandle(winapi::HANDLE& handle);
  // Reader thread: the cached report lengths only; never opens anything.
  [[nodiscard]] winapi::HIDP_CAPS cachedCapabilities();
  [[nodiscard]] bool openReadLocked();
  // Frees the preparsed data while hid.dll is still bound, unless a reader may be using it.
  void releasePreparsed();

  HidProcess& process_;
  THidDeviceController* controller_;
  std::atomic<bool> present_{true};
  std::atomic<bool> claimed_{false};
  std::atomic<bool> inCallback_{false};
  winapi::HANDLE syncHandle_;
  // Opened by the reader, closed by the GUI thread (Detach, destruction): both under
  // readHandleMutex_, held only around opening, starting a read, fetching its result and
  // closing, never while waiting. A close therefore either ends a read that was started, or
  // comes before the next start, which then finds the object unusable.
  winapi::HANDLE readHandle_;
  std::mutex readHandleMutex_;
  winapi::HANDLE writeHandle_;
  winapi::OVERLAPPED readOverlap_{};
  winapi::HIDD_ATTRIBUTES hidAttributes_{12, 0, 0, 0};
  std::unique_ptr<THidPnPInfo> pnpRecord_;
  std::atomic<winapi::PHIDP_PREPARSED_DATA> preparsed_{nullptr};
  std::atomic<std::int32_t> readSlice_{100};
  THidDataEvent onReport_;
  THidDataErrorEvent onReadError_;
  THidPlugEvent onDetach_;
  bool canReadWrite_ = false;
  bool destroying_ = false;
  std::unique_ptr<THidDeviceReadThread> reader_;
};

class THidDeviceController : private forms::MainWindowHook {
 public:
  // Binds the libraries, scans once and, with hid.dll bound, hooks the main window. Raises
  // EControllerError when another controller of `process` is alive.
  explicit THidDeviceController(HidProcess& process);
  // Claimed devices survive, detached and without controller (a reader still running is
  // stopped, as the binding it calls through goes); the others are destroyed.
  ~THidDeviceController() override;
  THidDeviceController(const THidDeviceController&) = delete;
  THidDeviceController& operator=(const THidDeviceController&) = delete;

  [[nodiscard]] std::int32_t DevThreadSleepTime() const { return devThreadSleepTime_; }
  void SetDevThreadSleepTime(std::int32_t Milliseconds);
  [[nodiscard]] std::string Version() const { return "1.0.22"; }
  void SetVersion(std::string Text) { versionDummy_ = std::move(Text); }

  [[nodiscard]] const THidPlugEvent& OnArrival() const { return onArrival_; }
  void SetOnArrival(THidPlugEvent Handler) { onArrival_ = Handler; }
  [[nodiscard]] const THidEnumerateEvent& OnEnumerate() const { return onEnumerate_; }
  void SetOnEnumerate(THidEnumerateEvent Handler) { onEnumerate_ = Handler; }
  [[nodiscard]] const TNotifyEvent& OnDeviceChange() const { return onDeviceChange_; }
  // A handler with another function than the current one rescans at once and is called.
  void SetOnDeviceChange(TNotifyEvent Handler);
  [[nodiscard]] const THidDataEvent& OnDeviceData() const { return onDeviceData_; }
  void SetOnDeviceData(THidDataEvent Handler);
  [[nodiscard]] const THidDataErrorEvent& OnDeviceDataError() const { return onDeviceDataError_; }
  void SetOnDeviceDataError(THidDataErrorEvent Handler);
  [[nodiscard]] const THidPlugEvent& OnDeviceUnplug() const { return onDeviceUnplug_; }
  void SetOnDeviceUnplug(THidPlugEvent Handler);
  [[nodiscard]] const THidPlugEvent& OnRemoval() const { return onRemoval_; }
  void SetOnRemoval(THidPlugEvent Handler) { onRemoval_ = Handler; }

  // The rescan: removals (from the end), duplicates destroyed, arrivals (appended), then at most
  // one OnDeviceChange.
  void DeviceChange();
  // Visits every present device through OnEnumerate until it returns false; the count visited.
  [[nodiscard]] std::int32_t WalkDevices();
  // The device at list index `Index`, now owned by the caller; null when out of range or already
  // claimed. Starts its reader when its OnReport is set.
  [[nodiscard]] std::unique_ptr<THidDevice> ClaimDevice(std::int32_t Index);

  [[nodiscard]] bool ChangeReported() const { return changeReported_; }
  [[nodiscard]] const winapi::GUID& HidGuid() const { return hidGuid_; }
  [[nodiscard]] HidProcess& Process() const { return process_; }
  // The list, for inspection: entries are owned by the controller unless Claimed.
  [[nodiscard]] const std::vector<THidDevice*>& Devices() const { return devices_; }

 private:
  friend class THidDevice;

  // Held while a rescan runs or a device's reader is being stopped (which processes messages):
  // a device-change message seen meanwhile is put off and posted again when the last guard
  // ends, so rescans never nest and never run under a caller that is iterating the list.
  class BusyGuard {
   public:
    explicit BusyGuard(THidDeviceController& controller);
    ~BusyGuard();
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;

   private:
    THidDeviceController& controller_;
  };

  [[nodiscard]] std::vector<THidDevice*> ScanDevices();
  [[nodiscard]] bool onMainWindowMessage(const forms::WindowMessage& message) override;
  // Notes whether a device is destroyed while the controller calls out (a handler may hand a
  // claimed device back from any event), so that nothing touches it afterwards. Nests.
  class DestructionWatch {
   public:
    DestructionWatch(THidDeviceController& controller, const THidDevice& device);
    ~DestructionWatch();
    DestructionWatch(const DestructionWatch&) = delete;
    DestructionWatch& operator=(const DestructionWatch&) = delete;
    [[nodiscard]] bool destroyed() const { return destroyed_; }

   private:
    friend class THidDeviceController;
    THidDeviceController& controller_;
    const THidDevice* device_;
    DestructionWatch* outer_;
    bool destroyed_ = false;
  };

  // Calls a plug event for `device` with its InCallback set. False when the handler destroyed
  // the device.
  [[nodiscard]] bool visit(const THidPlugEvent& handler, THidDevice& device);
  [[nodiscard]] std::size_t indexOf(const THidDevice* device) const;
  void deviceDestroyed(THidDevice& device, const THidDataEvent& onReport,
                       const THidPlugEvent& onDetach);

  HidProcess& process_;
  bool counted_ = false;
  bool hooked_ = false;
  std::int32_t devThreadSleepTime_ = 100;
  std::string versionDummy_;
  THidPlugEvent onArrival_;
  THidEnumerateEvent onEnumerate_;
  TNotifyEvent onDeviceChange_;
  THidDataEvent onDeviceData_;
  THidDataErrorEvent onDeviceDataError_;
  THidPlugEvent onDeviceUnplug_;
  THidPlugEvent onRemoval_;
  winapi::GUID hidGuid_ = winapi::kHidInterfaceClass;
  std::vector<THidDevice*> devices_;
  bool changeReported_ = false;
  int busyDepth_ = 0;
  bool changePutOff_ = false;
  DestructionWatch* watches_ = nullptr;
};

}  // namespace nuv::hid
