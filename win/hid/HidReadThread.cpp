// THidDeviceReadThread: one outstanding read at a time, waited for in alertable slices, each
// finished report handed to the GUI thread and waited for.
#include <algorithm>

#include "win/hid/HidControllerClass.h"

namespace nuv::hid {
namespace {

// After the loop, how long to wait for an outstanding read's completion once it was cancelled
// (or its handle closed). The system completes it at once; the bound only keeps a stuck driver
// from holding the thread for ever.
constexpr winapi::DWORD kDrainSliceMs = 10;
constexpr int kDrainSlices = 50;
// The longest WaitFor sleeps before it looks for hand-overs again; a hand-over announced just
// before it was queued is run after at most this long.
constexpr std::chrono::milliseconds kEndPoll{10};
// Empty or failed reads in a row after which the reader pauses one slice.
constexpr int kEmptyReadsBeforePause = 2;

}  // namespace

THidDeviceReadThread::THidDeviceReadThread(THidDevice& Device) : device_(Device) {
  reportBuffer_.assign(Device.Capabilities().InputReportByteLength, 0);
}

THidDeviceReadThread::~THidDeviceReadThread() {
  if (thread_.joinable()) {
    Terminate();
    WaitFor();
  }
}

void THidDeviceReadThread::Start() {
  if (started_) return;
  started_ = true;
  thread_ = std::thread([this] { Execute(); });
}

void THidDeviceReadThread::Terminate() {
  {
    std::lock_guard lock(stateMutex_);
    terminated_ = true;
  }
  stateChanged_.notify_all();
}

void THidDeviceReadThread::WaitFor() {
  forms::GuiThread& gui = device_.process_.gui;
  // The thread's last act is a hand-over (MarkFinished); running hand-overs until it came lets
  // a reader blocked in one finish. Only hand-overs run here, so no click, timer or device-change
  // message is handled in the middle of the caller's work. ended_ covers a GUI side that refuses
  // hand-overs.
  while (thread_.joinable() && !finishedSeen_ && !ended_.load()) {
    gui.checkSynchronize();
    if (finishedSeen_ || ended_.load()) break;
    std::unique_lock lock(stateMutex_);
    stateChanged_.wait_for(lock, kEndPoll, [&] { return handOverComing_ || ended_.load(); });
    handOverComing_ = false;
  }
  if (thread_.joinable()) thread_.join();
}

void NUV_WINAPI THidDeviceReadThread::IgnoreCompletion(winapi::DWORD, winapi::DWORD,
                                                       winapi::OVERLAPPED*) {
  // The wait result (WAIT_IO_COMPLETION) is the signal; there is nothing to do here.
}

bool THidDeviceReadThread::handOver(void (*work)(void*)) {
  {
    std::lock_guard lock(stateMutex_);
    handOverComing_ = true;
  }
  stateChanged_.notify_all();
  return device_.process_.gui.synchronize(work, this);
}

void THidDeviceReadThread::waitBeforeRetry() {
  // A device that is gone fails every read start at once; without a pause the thread would
  // flood the GUI thread with errors. One slice between failed starts, cut short by Terminate.
  std::unique_lock lock(stateMutex_);
  stateChanged_.wait_for(lock, std::chrono::milliseconds(device_.ReadSlice()),
                         [&] { return terminated_.load(); });
}

void THidDeviceReadThread::Execute() {
  winapi::Api& api = device_.process_.api;
  winapi::DWORD wait = winapi::kWaitIoCompletion;
  int emptyReads = 0;
  while (!terminated_.load()) {
    wait = winapi::kWaitIoCompletion;
    // The buffer was sized at creation; lengths learnt later never make a read overrun it.
    const std::size_t length = std::min<std::size_t>(
        device_.cachedCapabilities().InputReportByteLength, reportBuffer_.size());
    std::fill_n(reportBuffer_.begin(), length, std::uint8_t{0});
    if (length == 0) {
      // No input report length was known when the reader was made (or the device has none):
      // nothing can ever be read. Said once through the read-error path, so that the window
      // shows why instead of only time-outs.
      if (!lengthErrorReported_) {
        lengthErrorReported_ = true;
        lastError_ = winapi::kErrorInvalidUserBuffer;
        if (!handOver(&DeliverError)) break;
      }
      waitBeforeRetry();
      continue;
    }
    if (device_.StartRead(reportBuffer_.data(), static_cast<std::uint32_t>(length),
                          &IgnoreCompletion)) {
      do {
        wait = api.SleepEx(static_cast<winapi::DWORD>(device_.ReadSlice()), 1);
      } while (!terminated_.load() && wait != winapi::kWaitIoCompletion);
      if (terminated_.load()) break;
      bytesRead_ = device_.ReadResult();
      if (bytesRead_ > 0) {
        emptyReads = 0;
        if (!handOver(&DeliverReport)) break;
      } else if (++emptyReads >= kEmptyReadsBeforePause) {
        // Reads that keep finishing at once with nothing (or with an error) would spin the
        // thread; nothing reaches the handlers either way.
        emptyReads = 0;
        waitBeforeRetry();
      }
    } else {
      lastError_ = api.GetLastError();
      if (!handOver(&DeliverError)) break;
      waitBeforeRetry();
    }
  }
  if (wait != winapi::kWaitIoCompletion) drainOutstandingRead();
  if (!handOver(&MarkFinished)) {
    {
      std::lock_guard lock(stateMutex_);
      ended_ = true;
    }
    stateChanged_.notify_all();
  }
}

void THidDeviceReadThread::drainOutstandingRead() {
  // The thread leaves while a read is outstanding. Cancel it (or, when CancelIo cannot be had,
  // close the read handle, which ends it as well) and wait for its completion, so that nothing
  // is written into the buffer after the thread has ended.
  winapi::Api& api = device_.process_.api;
  if (!device_.CancelPending(TOpenMode::ReadMode)) device_.CloseOverlapped(TOpenMode::ReadMode);
  for (int i = 0; i < kDrainSlices; ++i) {
    if (api.SleepEx(kDrainSliceMs, 1) == winapi::kWaitIoCompletion) return;
  }
}

void THidDeviceReadThread::DeliverReport(void* self) {
  auto& thread = *static_cast<THidDeviceReadThread*>(self);
  THidDevice& device = thread.device_;
  if (!device.onReport_) return;
  thread.delivering_ = true;
  device.onReport_(device, thread.reportBuffer_[0], thread.reportBuffer_.data() + 1,
                   static_cast<std::uint16_t>(thread.bytesRead_ - 1));
  thread.delivering_ = false;
}

void THidDeviceReadThread::DeliverError(void* self) {
  auto& thread = *static_cast<THidDeviceReadThread*>(self);
  THidDevice& device = thread.device_;
  if (!device.onReadError_) return;
  thread.delivering_ = true;
  device.onReadError_(device, thread.lastError_);
  thread.delivering_ = false;
}

void THidDeviceReadThread::MarkFinished(void* self) {
  static_cast<THidDeviceReadThread*>(self)->finishedSeen_ = true;
}

}  // namespace nuv::hid
