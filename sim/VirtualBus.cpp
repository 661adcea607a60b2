#include "sim/VirtualBus.h"

#include <algorithm>
#include <cstring>
#include <span>

namespace nuv::sim {

using nuv::IoStatus;

// The connections to tell after a change, gathered under the lock and told after it. Inline
// for the usual few, so that delivering a report allocates nothing.
class Touched {
 public:
  void add(Connection* c) {
    auto alive = c->weak_from_this().lock();
    if (!alive) return;  // being destroyed
    if (count_ < inline_.size()) {
      inline_[count_++] = std::move(alive);
    } else {
      overflow_.push_back(std::move(alive));
    }
  }
  template <class F>
  void forEach(F f) {
    for (std::size_t i = 0; i < count_; ++i) f(*inline_[i]);
    for (auto& c : overflow_) f(*c);
  }

 private:
  std::array<std::shared_ptr<Connection>, 8> inline_;
  std::size_t count_ = 0;
  std::vector<std::shared_ptr<Connection>> overflow_;
};

// ---- Connection -------------------------------------------------------------------------

Connection::Connection(VirtualBus& bus, DeviceInfo info, std::shared_ptr<UpdateDevice> device)
    : bus_(bus), info_(std::move(info)), device_(std::move(device)) {}

Connection::~Connection() {
  bus_.forget(this);
}

nuv::IoStatus Connection::write(const std::uint8_t* data, std::size_t len) {
  return bus_.deliver(*this, data, len);
}

void Connection::push(const Queued& q) {
  if (count_ == kQueueDepth) {  // full: drop the oldest, as a HID driver's ring does
    head_ = (head_ + 1) % kQueueDepth;
    --count_;
  }
  queue_[(head_ + count_) % kQueueDepth] = q;
  ++count_;
  changed_.notify_all();
}

nuv::IoStatus Connection::read(std::uint8_t* buf, std::size_t capacity, std::size_t* length,
                               std::chrono::nanoseconds timeout) {
  // The caller's wait is real time; the bus's clock says only when a report is readable. A
  // reader waits for a report's time by itself only when the bus runs on real time; on a clock
  // that a test moves, timeAdvanced() wakes it.
  const nuv::Clock& real = nuv::realClock();
  const bool busRunsOnRealTime = &bus_.clock_ == &real;
  std::unique_lock lock(bus_.mutex_);
  const auto deadline = real.now() + timeout;
  const std::uint64_t generation = cancelGeneration_;
  for (;;) {
    if (gone_) return IoStatus::Gone;
    if (cancelGeneration_ != generation) return IoStatus::Cancelled;
    const auto now = real.now();
    auto wakeAt = deadline;
    if (count_ > 0) {
      const Queued& q = queue_[head_];
      if (q.readableAt <= bus_.clock_.now()) {
        const std::size_t n = std::min<std::size_t>(capacity, q.length);
        std::memcpy(buf, q.bytes.data(), n);
        if (length != nullptr) *length = n;
        const std::uint64_t sequence = q.sequence;
        head_ = (head_ + 1) % kQueueDepth;
        --count_;
        lock.unlock();
        device_->replyConsumed(sequence);
        return IoStatus::Ok;
      }
      if (busRunsOnRealTime) wakeAt = std::min(wakeAt, q.readableAt);
    }
    if (now >= deadline) return IoStatus::TimedOut;
    ++blockedReaders_;
    changed_.wait_for(lock, wakeAt - now);
    --blockedReaders_;
  }
}

void Connection::cancel() {
  std::lock_guard lock(bus_.mutex_);
  if (blockedReaders_ > 0) {
    ++cancelGeneration_;
    changed_.notify_all();
  }
}

std::optional<nuv::Clock::time_point> Connection::nextReportAt() const {
  std::lock_guard lock(bus_.mutex_);
  if (count_ == 0) return std::nullopt;
  return queue_[head_].readableAt;
}

void Connection::setListener(std::function<void()> listener) {
  std::lock_guard lock(bus_.mutex_);
  listener_ = listener ? std::make_shared<std::function<void()>>(std::move(listener)) : nullptr;
}

void Connection::notifyListener() {
  std::shared_ptr<std::function<void()>> call;
  {
    std::lock_guard lock(bus_.mutex_);
    call = listener_;
  }
  if (call) (*call)();
}

void Connection::close() {
  {
    std::lock_guard lock(bus_.mutex_);
    gone_ = true;
    count_ = 0;
    changed_.notify_all();
  }
}

// ---- VirtualBus -------------------------------------------------------------------------

VirtualBus::VirtualBus(const nuv::Clock& clock) : clock_(clock), epoch_(clock.now()) {}

VirtualBus::~VirtualBus() {
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(threadsMutex_);
    threads.swap(faultThreads_);
  }
  for (auto& t : threads) t.join();
}

std::shared_ptr<UpdateDevice> VirtualBus::plug(DeviceInfo info, UpdateDeviceOptions options) {
  auto device = std::make_shared<UpdateDevice>(std::move(options));
  return plug(device, std::move(info)) ? device : nullptr;
}

bool VirtualBus::plug(std::shared_ptr<UpdateDevice> device, DeviceInfo info) {
  {
    std::lock_guard lock(mutex_);
    if (info.path.empty()) info.path = "sim:hid" + std::to_string(nextPath_++);
    for (const Entry& e : present_)
      if (e.info.path == info.path) return false;
    if (info.instanceId == 0) info.instanceId = nextInstance_++;
    present_.push_back({std::move(info), std::move(device)});
    ++changes_;
  }
  notifyChange();
  return true;
}

void VirtualBus::unplugLocked(const std::string& path, Touched& touched) {
  auto it = std::find_if(present_.begin(), present_.end(),
                         [&](const Entry& e) { return e.info.path == path; });
  if (it == present_.end()) return;
  for (Connection* c : connections_) {
    if (c->device_ != it->device || c->info_.path != path || c->gone_) continue;
    c->gone_ = true;
    c->count_ = 0;
    c->changed_.notify_all();
    touched.add(c);
  }
  present_.erase(it);
  ++changes_;
}

bool VirtualBus::unplug(const std::string& path) {
  Touched touched;
  {
    std::lock_guard lock(mutex_);
    const auto before = changes_;
    unplugLocked(path, touched);
    if (changes_ == before) return false;
  }
  touched.forEach([](Connection& c) { c.notifyListener(); });
  notifyChange();
  return true;
}

std::vector<DeviceInfo> VirtualBus::devices() const {
  std::lock_guard lock(mutex_);
  std::vector<DeviceInfo> out;
  out.reserve(present_.size());
  for (const Entry& e : present_) out.push_back(e.info);
  return out;
}

std::shared_ptr<UpdateDevice> VirtualBus::device(const std::string& path) const {
  std::lock_guard lock(mutex_);
  for (const Entry& e : present_)
    if (e.info.path == path) return e.device;
  return nullptr;
}

std::uint64_t VirtualBus::changeCount() const {
  std::lock_guard lock(mutex_);
  return changes_;
}

int VirtualBus::addChangeListener(std::function<void()> listener) {
  std::lock_guard lock(listenersMutex_);
  listeners_.push_back({nextListener_, std::move(listener)});
  return nextListener_++;
}

void VirtualBus::removeChangeListener(int id) {
  std::lock_guard lock(listenersMutex_);
  std::erase_if(listeners_, [id](const Listener& l) { return l.id == id; });
}

void VirtualBus::notifyChange() {
  std::lock_guard lock(listenersMutex_);
  // Copied: a listener may add or remove listeners.
  const std::vector<Listener> calls = listeners_;
  for (const Listener& l : calls) l.call();
}

std::shared_ptr<Connection> VirtualBus::open(const std::string& path) {
  std::lock_guard lock(mutex_);
  for (const Entry& e : present_) {
    if (e.info.path != path) continue;
    std::shared_ptr<Connection> c(new Connection(*this, e.info, e.device));
    connections_.push_back(c.get());
    return c;
  }
  return nullptr;
}

void VirtualBus::forget(Connection* connection) {
  std::lock_guard lock(mutex_);
  std::erase(connections_, connection);
}

void VirtualBus::timeAdvanced() {
  std::lock_guard lock(mutex_);
  for (Connection* c : connections_) c->changed_.notify_all();
}

nuv::IoStatus VirtualBus::deliver(Connection& from, const std::uint8_t* data, std::size_t len) {
  Touched touched;
  bool unplugged = false;
  {
    std::lock_guard lock(mutex_);
    if (from.gone_) return IoStatus::Gone;
    const DeviceInfo& info = from.info_;
    if (data == nullptr || len != info.outputReportLength || len < 2) return IoStatus::Failed;
    if (!info.usesReportIds && data[0] != nuv::kReportId) return IoStatus::Failed;

    const DeviceResponse response = from.device_->receive(data, len);
    if (tap_ != nullptr) {
      const std::span<const std::uint8_t> sent(data, len);
      if (response.writeFails) {
        tap_->event(nuv::SessionEventKind::SendFailed, sent, "write: the device refused it");
      } else {
        tap_->event(nuv::SessionEventKind::Sent, sent);
      }
    }
    if (response.writeFails) return IoStatus::Failed;
    if (response.unplug) {
      if (tap_ != nullptr) tap_->event(nuv::SessionEventKind::Gone, {});
      unplugLocked(info.path, touched);
      unplugged = true;
    } else if (response.copies > 0) {
      Connection::Queued q{};
      (void)nuv::frameReport({response.reply.data(), response.replyLength}, q.bytes,
                             info.usesReportIds ? kInputReportId : nuv::kReportId);
      // A full-length report is padded to the device's input length, as the HID stack does.
      const std::size_t full =
          std::max<std::size_t>(info.inputReportLength, nuv::kFramedReportSize);
      q.length = static_cast<std::uint8_t>(response.replyLength == kReportSize
                                               ? std::min<std::size_t>(full, q.bytes.size())
                                               : 1 + response.replyLength);
      if (tap_ != nullptr) {
        const std::span<const std::uint8_t> framed(q.bytes.data(), q.length);
        for (int i = 0; i < response.copies; ++i)
          tap_->event(nuv::SessionEventKind::Received,
                      info.usesReportIds ? framed : nuv::payloadOf(framed));
      }
      q.readableAt = replyDueAt(from.device_->latency(), response, epoch_, clock_.now());
      q.sequence = from.device_->lastReplySequence();
      for (Connection* c : connections_) {
        if (c->device_ != from.device_ || c->gone_) continue;
        for (int i = 0; i < response.copies; ++i) c->push(q);
        touched.add(c);
      }
    }
  }
  touched.forEach([](Connection& c) { c.notifyListener(); });
  if (unplugged) {
    // A real unplug is noticed by the host's device-change machinery on its own thread, never
    // inside the write that caused it.
    std::lock_guard lock(threadsMutex_);
    faultThreads_.emplace_back([this] { notifyChange(); });
  }
  return IoStatus::Ok;
}

void VirtualBus::setTap(nuv::SessionTap* tap) {
  std::lock_guard lock(mutex_);
  tap_ = tap;
}

}  // namespace nuv::sim
