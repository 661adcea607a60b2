#include "platform/iohid/Linux.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/cocoa/Cocoa.h"
#include "protocol/Framing.h"
#include "protocol/Log.h"

namespace nuv::iohid {

namespace {

// The update device's reports when its descriptor cannot be read: 8 bytes each way, no IDs.
constexpr hidraw::ReportCaps kPlainReports{0xFF00, 0x0001, kFramedReportSize, kFramedReportSize,
                                           0,      false};

struct LinuxDevice final : IOHIDDevice {
  hidraw::HidrawDevice info;
  bool present = true;
  bool reported = false;
  std::optional<hidraw::Node> node;
  hidraw::ReportCaps caps;
  int watch = 0;
  std::uint8_t* buffer = nullptr;
  long bufferLength = 0;
  IOHIDReportCallback callback = nullptr;
  void* context = nullptr;
  // Sized once at open, so that no report allocates.
  std::vector<std::uint8_t> in;
  std::vector<std::uint8_t> out;
};

LinuxDevice* linuxDevice(IOHIDDeviceRef ref) {
  return static_cast<LinuxDevice*>(ref);
}

IOReturn fromErrno(int code) {
  switch (code) {
    case EACCES:
    case EPERM:
      return kIOReturnNotPermitted;
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return kIOReturnNotAttached;
    default:
      return kIOReturnError;
  }
}

class RunLoopWatcher final : public DescriptorWatcher {
 public:
  explicit RunLoopWatcher(cocoa::RunLoop& loop) : loop_(loop) {}
  int watch(int fd, std::function<void()> onReadable) override {
    return loop_.watchReadable(fd, std::move(onReadable));
  }
  void unwatch(int id) override { loop_.unwatch(id); }

 private:
  cocoa::RunLoop& loop_;
};

class LinuxHIDManager final : public IOHIDManager {
 public:
  explicit LinuxHIDManager(LinuxHIDSeams seams) : seams_(std::move(seams)) {}
  ~LinuxHIDManager() override { (void)close(kIOHIDOptionsTypeNone); }

  void setDeviceMatching(const MatchingDictionary& matching) override { matching_ = matching; }
  void registerDeviceMatchingCallback(IOHIDDeviceCallback callback, void* context) override {
    matched_ = callback, matchedContext_ = context;
  }
  void registerDeviceRemovalCallback(IOHIDDeviceCallback callback, void* context) override {
    removed_ = callback, removedContext_ = context;
  }
  void scheduleWithRunLoop(cocoa::RunLoop& loop) override {
    if (loop_ != nullptr) return;
    loop_ = &loop;
    if (seams_.watcher == nullptr) {
      ownWatcher_ = std::make_unique<RunLoopWatcher>(loop);
      seams_.watcher = ownWatcher_.get();
    }
  }

  IOReturn open(std::uint32_t) override {
    if (open_) return kIOReturnSuccess;
    if (loop_ == nullptr) return kIOReturnNotPermitted;
    auto udev = seams_.makeUdev ? seams_.makeUdev() : hidraw::makeLibudevBackend();
    if (!udev) {
      logLine("hidraw: " + udev.error().describe());
      return kIOReturnError;
    }
    enumerator_.emplace(std::move(udev).value(), filter());
    // Watch before the scan, so that no arrival falls between the two.
    if (auto failed = enumerator_->startMonitor()) logLine("hidraw: " + failed->describe());
    auto present = enumerator_->scan();
    if (!present) {
      logLine("hidraw: " + present.error().describe());
      enumerator_.reset();
      return kIOReturnError;
    }
    open_ = true;
    for (const hidraw::HidrawDevice& d : present.value()) addRecord(d);
    if (enumerator_->monitorFd() >= 0)
      monitorWatch_ = seams_.watcher->watch(enumerator_->monitorFd(), [this] { drainMonitor(); });
    // The devices present now are reported from the loop, as later arrivals are.
    startupSource_ = loop_->addSource([this] { reportNew(); });
    loop_->signalSource(startupSource_);
    return kIOReturnSuccess;
  }

  std::optional<std::vector<IOHIDDeviceRef>> copyDevices() override {
    if (!open_) return std::nullopt;
    std::vector<IOHIDDeviceRef> out;
    for (auto& d : devices_)
      if (d->present) out.push_back(d.get());
    return out;
  }

  IOReturn close(std::uint32_t) override {
    if (!open_) return kIOReturnNotOpen;
    open_ = false;
    if (monitorWatch_ != 0) seams_.watcher->unwatch(monitorWatch_);
    monitorWatch_ = 0;
    if (startupSource_ != 0) loop_->removeSource(startupSource_);
    for (auto& d : devices_) closeNode(*d);
    enumerator_.reset();
    return kIOReturnSuccess;
  }

  IOReturn deviceOpen(IOHIDDeviceRef ref, std::uint32_t) override {
    LinuxDevice* d = linuxDevice(ref);
    if (d == nullptr || !open_) return kIOReturnBadArgument;
    if (!d->present) return kIOReturnNotAttached;
    if (d->node) return kIOReturnSuccess;
    auto node = hidraw::Node::open(d->info.devnode, hidraw::OpenMode::ReadWrite, *seams_.sys);
    if (!node) {
      logLine("hidraw: " + node.error().describe());
      return fromErrno(node.error().code);
    }
    d->node.emplace(std::move(node).value());
    auto caps = d->node->capabilities();
    if (caps) {
      d->caps = caps.value();
    } else {
      logLine("hidraw: " + caps.error().describe() + "; taking 8-byte reports without IDs");
      d->caps = kPlainReports;
    }
    // Room for the longest report and its ID byte, and never less than an 8-byte command.
    d->in.assign(std::max<std::size_t>(d->caps.inputReportByteLength, 9), 0);
    d->out.assign(std::max<std::size_t>(d->caps.outputReportByteLength, 9), 0);
    d->watch = seams_.watcher->watch(d->node->fd(), [this, d] { readReport(*d); });
    return kIOReturnSuccess;
  }

  void deviceRegisterInputReportCallback(IOHIDDeviceRef ref, std::uint8_t* buffer, long length,
                                         IOHIDReportCallback callback, void* context) override {
    LinuxDevice* d = linuxDevice(ref);
    if (d == nullptr) return;
    d->buffer = buffer;
    d->bufferLength = buffer != nullptr ? std::max(0L, length) : 0;
    d->callback = callback;
    d->context = context;
  }

  IOReturn setOutputReport(IOHIDDeviceRef ref, std::uint32_t reportID, const std::uint8_t* report,
                           long length) override {
    LinuxDevice* d = linuxDevice(ref);
    if (d == nullptr) return kIOReturnBadArgument;
    if (!d->present) return kIOReturnNotAttached;
    if (!d->node) return kIOReturnNotOpen;
    const std::uint8_t id = d->caps.usesReportIds ? static_cast<std::uint8_t>(reportID) : kReportId;
    if (frameReport({report, static_cast<std::size_t>(length)}, d->out, id) == 0)
      return kIOReturnBadArgument;
    const hidraw::IoResult sent = d->node->write(d->out);
    switch (sent.status) {
      case nuv::IoStatus::Ok:
        return kIOReturnSuccess;
      case nuv::IoStatus::Gone:
        return kIOReturnNotAttached;
      default:
        if (sent.error) logLine("hidraw: " + sent.error->describe());
        return sent.error ? fromErrno(sent.error->code) : kIOReturnError;
    }
  }

  IOReturn deviceClose(IOHIDDeviceRef ref, std::uint32_t) override {
    LinuxDevice* d = linuxDevice(ref);
    if (d == nullptr) return kIOReturnBadArgument;
    if (!d->node) return kIOReturnNotOpen;
    closeNode(*d);
    return kIOReturnSuccess;
  }

 private:
  // The matching dictionary as a udev filter; keys other than the two ids match nothing.
  [[nodiscard]] hidraw::DeviceFilter filter() const {
    hidraw::DeviceFilter f;
    if (!matching_) return f;
    for (const MatchingEntry& e : *matching_) {
      if (e.key == kIOHIDVendorIDKey) f.vendorId = static_cast<std::uint16_t>(e.value);
      if (e.key == kIOHIDProductIDKey) f.productId = static_cast<std::uint16_t>(e.value);
    }
    return f;
  }
  [[nodiscard]] bool matches(const hidraw::HidrawDevice& d) const {
    if (!matching_) return false;
    for (const MatchingEntry& e : *matching_) {
      if (e.key == kIOHIDVendorIDKey) {
        if (e.value != d.id.vendorId) return false;
      } else if (e.key == kIOHIDProductIDKey) {
        if (e.value != d.id.productId) return false;
      } else {
        return false;
      }
    }
    return true;
  }

  void addRecord(const hidraw::HidrawDevice& info) {
    if (!matches(info)) return;
    auto& d = devices_.emplace_back(std::make_unique<LinuxDevice>());
    d->info = info;
  }

  void reportNew() {
    for (std::size_t i = 0; open_ && i < devices_.size(); ++i) {
      LinuxDevice& d = *devices_[i];
      if (!d.present || d.reported) continue;
      d.reported = true;
      if (matched_ != nullptr) matched_(matchedContext_, kIOReturnSuccess, this, &d);
    }
  }

  void drainMonitor() {
    if (!open_) return;
    events_.clear();
    (void)enumerator_->drainEvents(events_);
    for (const hidraw::DeviceEvent& e : events_) {
      if (e.action == hidraw::DeviceAction::Added) {
        addRecord(e.device);
        continue;
      }
      for (auto& d : devices_) {
        if (!d->present || d->info.identity != e.device.identity) continue;
        d->present = false;
        closeNode(*d);
        if (d->reported && removed_ != nullptr)
          removed_(removedContext_, kIOReturnSuccess, this, d.get());
        if (!open_) return;
      }
    }
    reportNew();
  }

  // One report per readiness; the watch is level-triggered, so the next comes on the next turn
  // of the loop, after this report's handler has run.
  void readReport(LinuxDevice& d) {
    if (!d.node) return;
    const hidraw::IoResult got = d.node->readWithReportId(d.in, d.caps.usesReportIds);
    switch (got.status) {
      case nuv::IoStatus::Ok:
        break;
      case nuv::IoStatus::TimedOut:
      case nuv::IoStatus::Cancelled:  // never from a node
        return;
      case nuv::IoStatus::Gone:
        closeNode(d);  // udev tells of the removal
        return;
      case nuv::IoStatus::Failed:
        if (got.error) logLine("hidraw: " + got.error->describe());
        closeNode(d);  // a node that fails to read would wake the loop for ever
        return;
    }
    if (got.count == 0 || d.callback == nullptr || d.bufferLength == 0) return;
    const auto payload = payloadOf({d.in.data(), got.count});
    const long length = std::min(static_cast<long>(payload.size()), d.bufferLength);
    std::memcpy(d.buffer, payload.data(), static_cast<std::size_t>(length));
    d.callback(d.context, kIOReturnSuccess, &d, kIOHIDReportTypeInput,
               d.caps.usesReportIds ? d.in[0] : 0, d.buffer, length);
  }

  void closeNode(LinuxDevice& d) {
    if (d.watch != 0) seams_.watcher->unwatch(d.watch);
    d.watch = 0;
    d.node.reset();
  }

  LinuxHIDSeams seams_;
  std::unique_ptr<RunLoopWatcher> ownWatcher_;
  cocoa::RunLoop* loop_ = nullptr;
  std::optional<MatchingDictionary> matching_;
  IOHIDDeviceCallback matched_ = nullptr;
  void* matchedContext_ = nullptr;
  IOHIDDeviceCallback removed_ = nullptr;
  void* removedContext_ = nullptr;
  bool open_ = false;
  std::optional<hidraw::Enumerator> enumerator_;
  int monitorWatch_ = 0;
  cocoa::RunLoop::SourceId startupSource_ = 0;
  std::vector<hidraw::DeviceEvent> events_;
  std::vector<std::unique_ptr<LinuxDevice>> devices_;
};

}  // namespace

std::unique_ptr<IOHIDManager> createLinuxHIDManager(LinuxHIDSeams seams) {
  return std::make_unique<LinuxHIDManager>(std::move(seams));
}

}  // namespace nuv::iohid
