// Smoke test of the HID layer's windows backend, run under Wine (or on Windows): the binding of
// hid.dll and setupapi.dll by their file and entry-point names, an enumeration and a rescan
// through the real SetupDi calls, and the ReadFileEx / alertable SleepEx / CancelIo semantics
// the reader thread relies on, on an overlapped named pipe. Exits 0 when everything held.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/forms/Forms.h"
#include "platform/winapi/Win32.h"
#include "win/hid/HidControllerClass.h"

namespace {

int failures = 0;

// Just enough GUI thread for the layer: posted messages go to the hooks, and hand-overs from
// other threads wait until the GUI thread runs them.
class SmokeGui final : public nuv::forms::GuiThread {
 public:
  bool synchronize(void (*fn)(void*), void* context) override {
    if (onGuiThread()) {
      fn(context);
      return true;
    }
    Call call{fn, context, false};
    std::unique_lock lock(mutex_);
    calls_.push_back(&call);
    wake_.notify_all();
    done_.wait(lock, [&] { return call.done; });
    return true;
  }
  void processMessages() override {
    std::unique_lock lock(mutex_);
    while (!posted_.empty() || !calls_.empty()) {
      if (!posted_.empty()) {
        const nuv::forms::WindowMessage message = posted_.front();
        posted_.erase(posted_.begin());
        lock.unlock();
        for (nuv::forms::MainWindowHook* hook : hooks_) {
          if (hook->onMainWindowMessage(message)) break;
        }
        lock.lock();
        continue;
      }
      Call* call = calls_.front();
      calls_.erase(calls_.begin());
      lock.unlock();
      call->fn(call->context);
      lock.lock();
      call->done = true;
      done_.notify_all();
    }
  }
  void waitForMessages(std::chrono::milliseconds timeout) override {
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, timeout, [&] { return !posted_.empty() || !calls_.empty(); });
  }
  void postMainWindowMessage(const nuv::forms::WindowMessage& message) override {
    std::lock_guard lock(mutex_);
    posted_.push_back(message);
    wake_.notify_all();
  }
  void hookMainWindow(nuv::forms::MainWindowHook& hook) override { hooks_.push_back(&hook); }
  void unhookMainWindow(nuv::forms::MainWindowHook& hook) override { std::erase(hooks_, &hook); }
  bool onGuiThread() const override { return std::this_thread::get_id() == gui_; }

 private:
  struct Call {
    void (*fn)(void*);
    void* context;
    bool done;
  };
  const std::thread::id gui_ = std::this_thread::get_id();
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::vector<Call*> calls_;
  std::vector<nuv::forms::WindowMessage> posted_;
  std::vector<nuv::forms::MainWindowHook*> hooks_;
};

void check(bool ok, const char* what) {
  std::printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) ++failures;
}

struct Walker {
  int visits = 0;
  bool Enumerate(nuv::hid::THidDevice& device, std::int32_t idx) {
    ++visits;
    std::printf("      device %d: %04X:%04X path %s\n", static_cast<int>(idx),
                device.HidAttributes().VendorID, device.HidAttributes().ProductID,
                device.PnpRecord().DevicePath.c_str());
    return true;
  }
  int changes = 0;
  void Change(nuv::hid::THidDeviceController&) { ++changes; }
  int reports = 0;
  int errors = 0;
  void Report(nuv::hid::THidDevice&, std::uint8_t, const std::uint8_t*, std::uint16_t) {
    ++reports;
  }
  void ReadError(nuv::hid::THidDevice&, std::uint32_t) { ++errors; }
};

// A reader thread on the first listed device that can be opened for reading and writing: it
// starts, waits in alertable slices on a real HID read handle, and stops with its read
// cancelled, many times over.
void checkReaderOnARealHandle(nuv::hid::THidDeviceController& controller,
                              nuv::forms::GuiThread& gui) {
  for (std::size_t i = 0; i < controller.Devices().size(); ++i) {
    if (!controller.Devices()[i]->CanReadWrite()) continue;
    std::unique_ptr<nuv::hid::THidDevice> device =
        controller.ClaimDevice(static_cast<std::int32_t>(i));
    if (!device) continue;
    Walker seen;
    device->SetReadSlice(10);
    device->SetOnReadError(nuv::hid::THidDataErrorEvent::of<&Walker::ReadError>(seen));
    const auto start = std::chrono::steady_clock::now();
    bool stopped = true;
    for (int cycle = 0; cycle < 50; ++cycle) {
      device->SetOnReport(nuv::hid::THidDataEvent::of<&Walker::Report>(seen));
      stopped = stopped && device->ReaderRunning();
      gui.processMessages();
      gui.waitForMessages(std::chrono::milliseconds(15));
      gui.processMessages();
      device->SetOnReport(nullptr);
      stopped = stopped && !device->ReaderRunning();
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    std::printf("      50 reader start/stop cycles on %s in %d ms (%d reports, %d read errors)\n",
                device->PnpRecord().DevicePath.c_str(), static_cast<int>(ms), seen.reports,
                seen.errors);
    check(stopped, "a reader on a real HID handle starts and stops");
    device.reset();
    check(!controller.Devices()[i]->Claimed(), "hand-back leaves an unclaimed object in the slot");
    return;
  }
  std::printf("      no listed device opens for reading and writing; reader check skipped\n");
}

void NUV_WINAPI noteCompletion(nuv::winapi::DWORD error, nuv::winapi::DWORD bytes,
                               nuv::winapi::OVERLAPPED* overlapped) {
  auto* seen = static_cast<nuv::winapi::DWORD*>(overlapped->hEvent);
  seen[0] = error;
  seen[1] = bytes;
  seen[2] = 1;
}

void checkBindingAndEnumeration(nuv::winapi::Api& api, nuv::forms::GuiThread& gui) {
  nuv::hid::HidProcess process(api, gui);
  {
    nuv::hid::THidDeviceController controller(process);
    check(process.setupApi.IsBound(), "SetupApi.dll bound with all 271 names");
    if (!process.setupApi.IsBound()) std::printf("      %s\n", process.setupApi.Failure().c_str());
    check(process.hid.IsBound(), "HID.dll bound with all 37 names");
    if (!process.hid.IsBound()) std::printf("      %s\n", process.hid.Failure().c_str());
    check(controller.HidGuid() == nuv::winapi::kHidInterfaceClass,
          "HidD_GetHidGuid gives the HID class");
    std::printf("      %u HID interface(s) listed\n",
                static_cast<unsigned>(controller.Devices().size()));
    Walker walker;
    controller.SetOnEnumerate(nuv::hid::THidEnumerateEvent::of<&Walker::Enumerate>(walker));
    const std::int32_t walked = controller.WalkDevices();
    check(
        walked == static_cast<std::int32_t>(controller.Devices().size()) && walker.visits == walked,
        "WalkDevices visits every listed device");
    controller.SetOnDeviceChange(nuv::hid::TNotifyEvent::of<&Walker::Change>(walker));
    check(walker.changes == 1, "the first OnDeviceChange runs a rescan and reports it");
    gui.postMainWindowMessage({nuv::forms::kWmDeviceChange, nuv::forms::kDbtDevNodesChanged, 0});
    gui.processMessages();
    check(walker.changes == 1, "a rescan that finds the same devices reports nothing");
    checkReaderOnARealHandle(controller, gui);
    try {
      nuv::hid::THidDeviceController second(process);
      check(false, "a second controller is refused");
    } catch (const nuv::hid::EControllerError& e) {
      check(std::strcmp(e.what(), nuv::hid::kOnlyOneControllerText) == 0,
            "a second controller is refused");
    }
    check(process.hid.IsBound(), "the refused controller left the binding alone");
  }
  check(!process.hid.IsBound() && !process.setupApi.IsBound(), "destruction released both");
}

void checkAlertableReads(nuv::winapi::Api& api) {
  const char* name = "\\\\.\\pipe\\nuv-winhid-smoke";
  HANDLE server = ::CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_BYTE | PIPE_WAIT, 1, 64, 64, 0, nullptr);
  check(server != INVALID_HANDLE_VALUE, "CreateNamedPipeA");
  if (server == INVALID_HANDLE_VALUE) return;
  HANDLE client = api.CreateFileA(name, nuv::winapi::kGenericRead | nuv::winapi::kGenericWrite,
                                  nuv::winapi::kFileShareRead | nuv::winapi::kFileShareWrite,
                                  nullptr, nuv::winapi::kOpenExisting, 0, nullptr);
  check(client != nuv::winapi::invalidHandle(), "CreateFileA of the pipe");

  unsigned char buffer[16] = {};
  nuv::winapi::DWORD seen[3] = {};
  nuv::winapi::OVERLAPPED overlapped{};
  overlapped.hEvent = seen;
  check(api.ReadFileEx(server, buffer, sizeof buffer, &overlapped, &noteCompletion) != 0,
        "ReadFileEx starts a read");
  check(api.SleepEx(20, 1) == 0 && seen[2] == 0, "SleepEx times out while nothing came");
  const char message[] = "report";
  nuv::winapi::DWORD written = 0;
  check(api.WriteFile(client, message, 6, &written, nullptr) != 0 && written == 6,
        "a blocking WriteFile");
  nuv::winapi::DWORD wait = 0;
  for (int i = 0; i < 50 && wait != nuv::winapi::kWaitIoCompletion; ++i) wait = api.SleepEx(20, 1);
  check(wait == nuv::winapi::kWaitIoCompletion && seen[2] == 1 && seen[1] == 6,
        "the completion routine runs inside SleepEx, which returns 192");
  nuv::winapi::DWORD bytes = 0;
  check(api.GetOverlappedResult(server, &overlapped, &bytes, 0) != 0 && bytes == 6 &&
            std::memcmp(buffer, message, 6) == 0,
        "GetOverlappedResult without waiting gives the byte count");

  seen[2] = 0;
  overlapped = nuv::winapi::OVERLAPPED{};
  overlapped.hEvent = seen;
  check(api.ReadFileEx(server, buffer, sizeof buffer, &overlapped, &noteCompletion) != 0,
        "a second read starts");
  const nuv::winapi::HMODULE kernel = api.LoadLibraryA("kernel32.dll");
  const nuv::winapi::FARPROC cancelIo = api.GetProcAddress(kernel, "CancelIo");
  check(cancelIo != nullptr, "CancelIo looked up by name in kernel32.dll");
  check(api.CancelIo(cancelIo, server) != 0, "CancelIo");
  (void)api.FreeLibrary(kernel);
  wait = 0;
  for (int i = 0; i < 50 && wait != nuv::winapi::kWaitIoCompletion; ++i) wait = api.SleepEx(20, 1);
  check(wait == nuv::winapi::kWaitIoCompletion && seen[0] == nuv::winapi::kErrorOperationAborted,
        "the cancelled read completes with ERROR_OPERATION_ABORTED");
  (void)api.CloseHandle(client);
  (void)::CloseHandle(server);
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  auto api = nuv::winapi::makeWindowsApi();
  SmokeGui gui;
  checkBindingAndEnumeration(*api, gui);
  checkAlertableReads(*api);
  std::printf("%s (%d failure(s))\n", failures == 0 ? "PASSED" : "FAILED", failures);
  return failures == 0 ? 0 : 1;
}
