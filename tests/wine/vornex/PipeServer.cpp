#include "tests/wine/vornex/PipeServer.h"

#include <algorithm>
#include <chrono>

namespace wine_test {
namespace {

constexpr DWORD kDbtDevNodesChanged = 0x0007;
constexpr std::size_t kListeners = 3;      // instances waiting for a CreateFileA at any time
constexpr std::size_t kMaxInstances = 24;  // two events each, within WaitForMultipleObjects' 64
constexpr std::size_t kInputQueueDepth = 64;
constexpr DWORD kPipeBufferBytes = 4096;
constexpr std::size_t kReportBytes = 9;  // report-ID byte 0x00 and the 8 bytes

using Report = std::array<std::uint8_t, kReportBytes>;

}  // namespace

struct PipeServer::Instance {
  enum class State { Listening, Connected, Closed };

  Instance() {
    readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    readOverlap.hEvent = readEvent;
    writeOverlap.hEvent = writeEvent;
  }
  ~Instance() {
    if (readEvent != nullptr) CloseHandle(readEvent);
    if (writeEvent != nullptr) CloseHandle(writeEvent);
  }
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  HANDLE pipe = INVALID_HANDLE_VALUE;
  State state = State::Listening;
  // Connecting, then reading: one operation at a time.
  OVERLAPPED readOverlap{};
  HANDLE readEvent = nullptr;
  bool readPending = false;
  std::array<std::uint8_t, 64> input{};
  OVERLAPPED writeOverlap{};
  HANDLE writeEvent = nullptr;
  bool writePending = false;
  Report writing{};
  std::deque<Report> queued;  // input reports not yet written to this instance
};

PipeServer::PipeServer(std::shared_ptr<nuv::sim::UpdateDevice> device, TestDevice identity)
    : device_(device), identity_(std::move(identity)), engine_(std::move(device)) {}

PipeServer::~PipeServer() {
  for (auto& instance : instances_) close(*instance);
  if (plugged_) (void)unregisterDevice(identity_.instance);
}

bool PipeServer::plug() {
  if (plugged_) return true;
  identity_.serverProcess = GetCurrentProcessId();
  if (!registerDevice(identity_)) {
    error_ = "cannot write the device's registry entry";
    return false;
  }
  plugged_ = true;
  unpluggedByFault_ = false;
  engine_.restartFrameClock(nuv::realClock().now());
  if (!keepListening()) {
    unplug();
    return false;
  }
  broadcastDeviceChange();
  return true;
}

void PipeServer::unplug() {
  if (!plugged_) return;
  for (auto& instance : instances_) close(*instance);
  instances_.clear();
  engine_.dropPending();
  (void)unregisterDevice(identity_.instance);
  plugged_ = false;
  broadcastDeviceChange();
}

bool PipeServer::listen() {
  auto instance = std::make_unique<Instance>();
  if (instance->readEvent == nullptr || instance->writeEvent == nullptr) {
    error_ = "cannot create an event: error " + std::to_string(GetLastError());
    return false;
  }
  instance->pipe =
      CreateNamedPipeA(identity_.path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                       PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                       PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes, 0, nullptr);
  if (instance->pipe == INVALID_HANDLE_VALUE) {
    error_ =
        "cannot create the pipe " + identity_.path + ": error " + std::to_string(GetLastError());
    return false;
  }
  Instance& added = *instances_.emplace_back(std::move(instance));
  if (ConnectNamedPipe(added.pipe, &added.readOverlap)) {
    added.readPending = true;  // completed at once; the event is set
    return true;
  }
  switch (GetLastError()) {
    case ERROR_IO_PENDING:
      added.readPending = true;
      return true;
    case ERROR_PIPE_CONNECTED:  // the client came between create and connect
      onConnected(added);
      return true;
    default:
      error_ = "cannot wait for a connection: error " + std::to_string(GetLastError());
      close(added);
      return false;
  }
}

bool PipeServer::keepListening() {
  const auto listening = std::count_if(instances_.begin(), instances_.end(), [](const auto& i) {
    return i->state == Instance::State::Listening;
  });
  for (auto n = static_cast<std::size_t>(listening);
       n < kListeners && instances_.size() < kMaxInstances; ++n) {
    if (!listen()) return false;
  }
  return true;
}

void PipeServer::onConnected(Instance& instance) {
  instance.state = Instance::State::Connected;
  startRead(instance);
}

void PipeServer::startRead(Instance& instance) {
  instance.readPending = false;
  if (ReadFile(instance.pipe, instance.input.data(), static_cast<DWORD>(instance.input.size()),
               nullptr, &instance.readOverlap) ||
      GetLastError() == ERROR_IO_PENDING || GetLastError() == ERROR_MORE_DATA) {
    instance.readPending = true;  // the event tells when it is done, at once or later
    return;
  }
  close(instance);  // the program closed its handle
}

void PipeServer::onRead(Instance& instance) {
  DWORD bytes = 0;
  const bool ok = GetOverlappedResult(instance.pipe, &instance.readOverlap, &bytes, FALSE) ||
                  GetLastError() == ERROR_MORE_DATA;  // longer than any report: its first 64
  instance.readPending = false;
  if (!ok) return close(instance);
  const auto now = nuv::realClock().now();
  if (replySentAt_) {
    turnaroundTotal_ += now - *replySentAt_;
    ++turnarounds_;
    replySentAt_.reset();
  }
  const auto outcome = engine_.onOutput(instance.input.data(), bytes, false, now);
  if (outcome == nuv::sim::uhid::ReportEngine::Outcome::Unplug) {
    unpluggedByFault_ = true;
    return unplug();
  }
  startRead(instance);
}

void PipeServer::startWrite(Instance& instance) {
  if (instance.writePending || instance.queued.empty() ||
      instance.state != Instance::State::Connected) {
    return;
  }
  instance.writing = instance.queued.front();
  instance.queued.pop_front();
  const DWORD length = std::min<DWORD>(identity_.inputLength, kReportBytes);
  if (WriteFile(instance.pipe, instance.writing.data(), length, nullptr, &instance.writeOverlap) ||
      GetLastError() == ERROR_IO_PENDING) {
    instance.writePending = true;
    return;
  }
  close(instance);
}

void PipeServer::onWritten(Instance& instance) {
  DWORD bytes = 0;
  const bool ok = GetOverlappedResult(instance.pipe, &instance.writeOverlap, &bytes, FALSE);
  instance.writePending = false;
  if (!ok) return close(instance);
  startWrite(instance);
}

void PipeServer::close(Instance& instance) {
  if (instance.pipe == INVALID_HANDLE_VALUE) return;
  if (instance.readPending || instance.writePending) {
    // The records must outlive the operations: cancel them and wait until they are done.
    CancelIo(instance.pipe);
    DWORD bytes = 0;
    if (instance.readPending)
      GetOverlappedResult(instance.pipe, &instance.readOverlap, &bytes, TRUE);
    if (instance.writePending) {
      GetOverlappedResult(instance.pipe, &instance.writeOverlap, &bytes, TRUE);
    }
  }
  instance.readPending = instance.writePending = false;
  CloseHandle(instance.pipe);
  instance.pipe = INVALID_HANDLE_VALUE;
  instance.state = Instance::State::Closed;
  instance.queued.clear();
}

std::chrono::microseconds PipeServer::meanTurnaround() const {
  if (turnarounds_ == 0) return {};
  return std::chrono::duration_cast<std::chrono::microseconds>(turnaroundTotal_ / turnarounds_);
}

void PipeServer::dropClosed() {
  std::erase_if(instances_, [](const auto& i) { return i->state == Instance::State::Closed; });
}

void PipeServer::broadcastDeviceChange() const {
  DWORD_PTR result = 0;
  SendMessageTimeoutA(HWND_BROADCAST, WM_DEVICECHANGE, kDbtDevNodesChanged, 0, SMTO_ABORTIFHUNG,
                      2000, &result);
}

PipeServer::Turn PipeServer::serveOnce(HANDLE control) {
  std::vector<HANDLE> events{control};
  for (const auto& instance : instances_) {
    if (instance->readPending) events.push_back(instance->readEvent);
    if (instance->writePending) events.push_back(instance->writeEvent);
  }
  DWORD timeout = INFINITE;
  if (const auto due = engine_.nextDue()) {
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - nuv::realClock().now());
    timeout = static_cast<DWORD>(std::max<std::int64_t>(0, wait.count()));
  }
  const DWORD woke =
      WaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(), FALSE, timeout);
  if (woke == WAIT_OBJECT_0) return Turn::Control;
  if (woke == WAIT_FAILED) {
    error_ = "cannot wait: error " + std::to_string(GetLastError());
    return Turn::Failed;
  }

  // Everything that is done, in the order the instances were made. An unplug fault or a new
  // listener may change the list, so it is walked by index.
  for (std::size_t i = 0; i < instances_.size() && !unpluggedByFault_; ++i) {
    Instance& instance = *instances_[i];
    if (instance.readPending && WaitForSingleObject(instance.readEvent, 0) == WAIT_OBJECT_0) {
      if (instance.state == Instance::State::Listening) {
        DWORD bytes = 0;
        instance.readPending = false;
        if (GetOverlappedResult(instance.pipe, &instance.readOverlap, &bytes, FALSE)) {
          onConnected(instance);
        } else {
          close(instance);
        }
      } else {
        onRead(instance);
        if (unpluggedByFault_) break;  // every instance is gone
      }
    }
    if (instance.writePending && WaitForSingleObject(instance.writeEvent, 0) == WAIT_OBJECT_0) {
      onWritten(instance);
    }
  }
  if (unpluggedByFault_) return Turn::Unplugged;

  // Replies that fell due go to every open handle, as input reports do.
  const auto send = [this](const std::uint8_t* bytes, std::size_t length, nuv::Error&) {
    Report report{};  // a short reply is padded: the handle always reads whole reports
    std::copy_n(bytes, std::min(length, kReportBytes - 1), report.begin() + 1);
    bool anyone = false;
    for (auto& instance : instances_) {
      if (instance->state != Instance::State::Connected) continue;
      if (instance->queued.size() >= kInputQueueDepth) instance->queued.pop_front();
      instance->queued.push_back(report);
      anyone = true;
    }
    return anyone ? nuv::sim::uhid::ReportEngine::SendResult::Sent
                  : nuv::sim::uhid::ReportEngine::SendResult::Dropped;
  };
  bool sentAny = false;
  (void)engine_.sendDue(nuv::realClock().now(), send, &sentAny);
  if (sentAny) replySentAt_ = nuv::realClock().now();
  for (auto& instance : instances_) startWrite(*instance);

  dropClosed();
  if (plugged_ && !keepListening()) return Turn::Failed;
  return Turn::Served;
}

}  // namespace wine_test
