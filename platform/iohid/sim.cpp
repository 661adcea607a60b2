#include "platform/iohid/Sim.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/cocoa/Cocoa.h"
#include "protocol/Framing.h"

namespace nuv::iohid {

namespace {

struct SimDevice final : IOHIDDevice {
  sim::DeviceInfo info;
  bool present = true;
  bool reported = false;  // the matching callback has been told of it
  std::shared_ptr<sim::Connection> connection;
  std::uint8_t* buffer = nullptr;
  long bufferLength = 0;
  IOHIDReportCallback callback = nullptr;
  void* context = nullptr;
  cocoa::RunLoop::SourceId source = 0;
  cocoa::RunLoop::TimerId timer = 0;
  // One read buffer per device: a report, its report-ID byte first.
  std::array<std::uint8_t, 65> raw{};
};

SimDevice* simDevice(IOHIDDeviceRef ref) {
  return static_cast<SimDevice*>(ref);
}

class SimHIDManager final : public IOHIDManager {
 public:
  explicit SimHIDManager(sim::VirtualBus& bus) : bus_(bus) {}
  ~SimHIDManager() override { (void)close(kIOHIDOptionsTypeNone); }

  void setDeviceMatching(const MatchingDictionary& matching) override { matching_ = matching; }
  void registerDeviceMatchingCallback(IOHIDDeviceCallback callback, void* context) override {
    matched_ = callback, matchedContext_ = context;
  }
  void registerDeviceRemovalCallback(IOHIDDeviceCallback callback, void* context) override {
    removed_ = callback, removedContext_ = context;
  }
  void scheduleWithRunLoop(cocoa::RunLoop& loop) override {
    if (loop_ == nullptr) loop_ = &loop;
  }

  IOReturn open(std::uint32_t) override {
    if (open_) return kIOReturnSuccess;
    if (loop_ == nullptr) return kIOReturnNotPermitted;
    open_ = true;
    busSource_ = loop_->addSource([this] { reconcile(); });
    cocoa::RunLoop* loop = loop_;
    const auto source = busSource_;
    // Called on whichever thread changed the bus; the loop picks it up.
    busListener_ = bus_.addChangeListener([loop, source] { loop->signalSource(source); });
    // The devices present now are reported from the loop, as later arrivals are.
    loop_->signalSource(busSource_);
    return kIOReturnSuccess;
  }

  std::optional<std::vector<IOHIDDeviceRef>> copyDevices() override {
    if (!open_) return std::nullopt;
    std::vector<IOHIDDeviceRef> out;
    for (const sim::DeviceInfo& info : bus_.devices())
      if (matches(info)) out.push_back(&recordFor(info));
    return out;
  }

  IOReturn close(std::uint32_t) override {
    if (!open_) return kIOReturnNotOpen;
    open_ = false;
    bus_.removeChangeListener(busListener_);
    loop_->removeSource(busSource_);
    for (auto& d : devices_) closeDevice(*d);
    return kIOReturnSuccess;
  }

  IOReturn deviceOpen(IOHIDDeviceRef ref, std::uint32_t) override {
    SimDevice* device = simDevice(ref);
    if (device == nullptr || loop_ == nullptr) return kIOReturnBadArgument;
    if (!device->present) return kIOReturnNotAttached;
    if (device->connection) return kIOReturnSuccess;
    device->connection = bus_.open(device->info.path);
    if (!device->connection) return kIOReturnNotAttached;
    device->source = loop_->addSource([this, device] { deliverNext(*device); });
    device->timer = loop_->addTimer([this, device] { loop_->signalSource(device->source); });
    cocoa::RunLoop* loop = loop_;
    const auto source = device->source;
    device->connection->setListener([loop, source] { loop->signalSource(source); });
    loop_->signalSource(device->source);  // reports queued before the open
    return kIOReturnSuccess;
  }

  void deviceRegisterInputReportCallback(IOHIDDeviceRef ref, std::uint8_t* buffer, long length,
                                         IOHIDReportCallback callback, void* context) override {
    SimDevice* device = simDevice(ref);
    if (device == nullptr) return;
    device->buffer = buffer;
    device->bufferLength = buffer != nullptr ? std::max(0L, length) : 0;
    device->callback = callback;
    device->context = context;
  }

  IOReturn setOutputReport(IOHIDDeviceRef ref, std::uint32_t reportID, const std::uint8_t* report,
                           long length) override {
    SimDevice* device = simDevice(ref);
    if (device == nullptr) return kIOReturnBadArgument;
    if (!device->present) return kIOReturnNotAttached;
    if (!device->connection) return kIOReturnNotOpen;
    const std::size_t wire = device->info.outputReportLength;
    std::array<std::uint8_t, 65> framed{};
    const std::uint8_t id =
        device->info.usesReportIds ? static_cast<std::uint8_t>(reportID) : kReportId;
    if (wire > framed.size() ||
        frameReport({report, static_cast<std::size_t>(length)}, {framed.data(), wire}, id) == 0)
      return kIOReturnBadArgument;
    switch (device->connection->write(framed.data(), wire)) {
      case nuv::IoStatus::Ok:
        return kIOReturnSuccess;
      case nuv::IoStatus::Gone:
        return kIOReturnNotAttached;
      default:
        return kIOReturnError;
    }
  }

  IOReturn deviceClose(IOHIDDeviceRef ref, std::uint32_t) override {
    SimDevice* device = simDevice(ref);
    if (device == nullptr) return kIOReturnBadArgument;
    if (!device->connection) return kIOReturnNotOpen;
    closeDevice(*device);
    return kIOReturnSuccess;
  }

 private:
  [[nodiscard]] bool matches(const sim::DeviceInfo& info) const {
    if (!matching_) return false;
    for (const MatchingEntry& e : *matching_) {
      if (e.key == kIOHIDVendorIDKey) {
        if (e.value != info.vendorId) return false;
      } else if (e.key == kIOHIDProductIDKey) {
        if (e.value != info.productId) return false;
      } else {
        return false;  // a property the bus does not have
      }
    }
    return true;
  }

  // The record of a present device, made on first sight. A device plugged again is a new
  // device (a new instance id), as it is to IOKit.
  SimDevice& recordFor(const sim::DeviceInfo& info) {
    for (auto& d : devices_)
      if (d->present && d->info.path == info.path && d->info.instanceId == info.instanceId)
        return *d;
    auto& d = devices_.emplace_back(std::make_unique<SimDevice>());
    d->info = info;
    return *d;
  }

  void reconcile() {
    if (!open_) return;
    const std::vector<sim::DeviceInfo> now = bus_.devices();
    for (auto& d : devices_) {
      if (!d->present) continue;
      const bool stillThere = std::any_of(now.begin(), now.end(), [&](const sim::DeviceInfo& i) {
        return i.path == d->info.path && i.instanceId == d->info.instanceId;
      });
      if (stillThere) continue;
      d->present = false;
      if (d->connection) closeDevice(*d);
      if (d->reported && removed_ != nullptr)
        removed_(removedContext_, kIOReturnSuccess, this, d.get());
      if (!open_) return;
    }
    for (const sim::DeviceInfo& info : now) {
      if (!matches(info)) continue;
      SimDevice& d = recordFor(info);
      if (d.reported) continue;
      d.reported = true;
      if (matched_ != nullptr) matched_(matchedContext_, kIOReturnSuccess, this, &d);
      if (!open_) return;
    }
  }

  // One report per run of the device's source, so that a reply's handler (which sends the next
  // command) ends before the next reply is delivered.
  void deliverNext(SimDevice& d) {
    if (!d.connection) return;
    std::size_t n = 0;
    switch (d.connection->read(d.raw.data(), d.raw.size(), &n, std::chrono::nanoseconds(0))) {
      case nuv::IoStatus::Ok:
        break;
      case nuv::IoStatus::TimedOut:
        if (const auto at = d.connection->nextReportAt()) loop_->armTimer(d.timer, *at);
        return;
      default:
        return;  // gone: the bus's change listener reports the removal
    }
    loop_->signalSource(d.source);  // there may be more
    if (n == 0 || d.callback == nullptr || d.bufferLength == 0) return;
    const auto payload = payloadOf({d.raw.data(), n});
    const long length = std::min(static_cast<long>(payload.size()), d.bufferLength);
    std::memcpy(d.buffer, payload.data(), static_cast<std::size_t>(length));
    d.callback(d.context, kIOReturnSuccess, &d, kIOHIDReportTypeInput, d.raw[0], d.buffer, length);
  }

  void closeDevice(SimDevice& d) {
    if (d.connection) {
      d.connection->setListener(nullptr);
      d.connection->close();
      d.connection.reset();
    }
    if (loop_ != nullptr) {
      if (d.source != 0) loop_->removeSource(d.source);
      if (d.timer != 0) loop_->removeTimer(d.timer);
    }
    d.source = 0;
    d.timer = 0;
  }

  sim::VirtualBus& bus_;
  cocoa::RunLoop* loop_ = nullptr;
  std::optional<MatchingDictionary> matching_;
  IOHIDDeviceCallback matched_ = nullptr;
  void* matchedContext_ = nullptr;
  IOHIDDeviceCallback removed_ = nullptr;
  void* removedContext_ = nullptr;
  bool open_ = false;
  cocoa::RunLoop::SourceId busSource_ = 0;
  int busListener_ = 0;
  std::vector<std::unique_ptr<SimDevice>> devices_;
};

}  // namespace

std::unique_ptr<IOHIDManager> createSimHIDManager(sim::VirtualBus& bus) {
  return std::make_unique<SimHIDManager>(bus);
}

}  // namespace nuv::iohid
