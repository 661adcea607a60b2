// The linux backend: every hidraw node as a HID interface (all of them, as Windows lists every
// HID interface; the window picks the update device by its identifiers), identified by the
// hidraw layer's per-node identity, opened through the node's /dev path, with report lengths
// from our own report-descriptor parser. Device changes come from a udev monitor watched by a
// thread of the backend and are posted to the main window.
#include "platform/winapi/Linux.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <thread>

#include "platform/forms/Forms.h"
#include "platform/hidraw/Hidraw.h"
#include "protocol/Log.h"

namespace nuv::winapi {
namespace {

namespace hr = nuv::hidraw;

[[nodiscard]] DWORD windowsErrorOf(int code) {
  switch (code) {
    case EACCES:
    case EPERM:
      return kErrorAccessDenied;
    case ENOENT:
    case ENXIO:
      return kErrorFileNotFound;
    case ENODEV:
    case EIO:
    case ESHUTDOWN:
      return kErrorDeviceNotConnected;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case EINVAL:
      return kErrorInvalidParameter;
    default:
      return kErrorGenFailure;
  }
}

// An eventfd that wakes a poll from another thread. Closed by its owner only.
class Wakeup {
 public:
  Wakeup() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~Wakeup() {
    if (fd_ >= 0) ::close(fd_);
  }
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;
  [[nodiscard]] int fd() const { return fd_; }
  [[nodiscard]] bool valid() const { return fd_ >= 0; }
  void signal() {
    const std::uint64_t one = 1;
    if (fd_ >= 0) (void)!::write(fd_, &one, sizeof one);
  }

 private:
  int fd_;
};

class HidrawFile final : public DeviceFile {
 public:
  HidrawFile(hr::Node node, std::optional<hr::ReportCaps> caps, std::uint16_t versionNumber)
      : node_(std::move(node)), caps_(caps), versionNumber_(versionNumber) {}

  bool canRead() const override { return node_.mode() != hr::OpenMode::QueryOnly; }
  bool canWrite() const override { return node_.mode() == hr::OpenMode::ReadWrite; }

  nuv::IoStatus awaitRead(std::uint8_t* buffer, std::size_t capacity, std::size_t& length,
                          std::chrono::milliseconds timeout) override {
    length = 0;
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (closed_.load()) return nuv::IoStatus::Cancelled;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      pollfd fds[2] = {{node_.fd(), POLLIN, 0}, {wakeup_.fd(), POLLIN, 0}};
      const int n = ::poll(fds, wakeup_.valid() ? 2 : 1,
                           left.count() > 0 ? static_cast<int>(left.count()) : 0);
      if (closed_.load()) return nuv::IoStatus::Cancelled;
      if (n < 0 && errno != EINTR) return nuv::IoStatus::Failed;
      if (n > 0 && fds[0].revents != 0) {
        const hr::IoResult r =
            node_.readWithReportId(std::span(buffer, capacity), caps_ && caps_->usesReportIds);
        if (r.status == nuv::IoStatus::Ok) {
          length = r.count;
          return nuv::IoStatus::Ok;
        }
        if (r.status == nuv::IoStatus::Gone) {
          gone_ = true;
          return nuv::IoStatus::Gone;
        }
        if (r.status == nuv::IoStatus::Failed) return nuv::IoStatus::Failed;
      }
      if (std::chrono::steady_clock::now() >= end) return nuv::IoStatus::TimedOut;
    }
  }

  DWORD readStartError() override {
    return gone_.load() ? kErrorDeviceNotConnected : kErrorSuccess;
  }

  DWORD write(const std::uint8_t* data, std::size_t length) override {
    const hr::IoResult r = node_.write(std::span(data, length));
    if (r.status == nuv::IoStatus::Ok) return kErrorSuccess;
    if (r.status == nuv::IoStatus::Gone) return kErrorDeviceNotConnected;
    return r.error ? windowsErrorOf(r.error->code) : kErrorGenFailure;
  }

  DWORD attributes(HIDD_ATTRIBUTES& out) override {
    auto info = node_.rawInfo();
    if (!info) return windowsErrorOf(info.error().code);
    out.VendorID = info.value().vendorId;
    out.ProductID = info.value().productId;
    out.VersionNumber = versionNumber_;
    return kErrorSuccess;
  }

  DWORD capabilities(HIDP_CAPS& out) override {
    if (!caps_) return kErrorGenFailure;
    out = HIDP_CAPS{};
    out.Usage = caps_->usage;
    out.UsagePage = caps_->usagePage;
    out.InputReportByteLength = caps_->inputReportByteLength;
    out.OutputReportByteLength = caps_->outputReportByteLength;
    out.FeatureReportByteLength = caps_->featureReportByteLength;
    return kErrorSuccess;
  }

  // The node itself closes with the last reference, when no thread can be waiting on it.
  void close() override {
    closed_ = true;
    wakeup_.signal();
  }

 private:
  hr::Node node_;
  const std::optional<hr::ReportCaps> caps_;
  const std::uint16_t versionNumber_;
  Wakeup wakeup_;
  std::atomic<bool> closed_{false};
  std::atomic<bool> gone_{false};
};

class LinuxApi final : public EmulatedApi {
 public:
  LinuxApi(hr::Enumerator scanner, forms::GuiThread* notices, EmulationOptions options)
      : EmulatedApi(options),
        onlyPath_(options.onlyDevicePath),
        sys_(options.systemCalls != nullptr ? *options.systemCalls : hr::realSystemCalls()),
        scanner_(std::move(scanner)) {
    if (notices != nullptr && stop_.valid()) {
      watcher_ = std::thread([this, notices] { watch(*notices); });
    }
  }
  ~LinuxApi() override {
    stop_.signal();
    if (watcher_.joinable()) watcher_.join();
  }

 protected:
  bool listInterfaces(std::vector<InterfaceEntry>& out, DWORD& error) override {
    std::lock_guard lock(scanMutex_);
    auto found = scanner_.scan();
    if (!found) {
      error = windowsErrorOf(found.error().code);
      return false;
    }
    for (const hr::HidrawDevice& device : found.value()) {
      if (!onlyPath_.empty() && device.devnode != onlyPath_) continue;
      versions_[device.devnode] = device.versionNumber;
      out.push_back(InterfaceEntry{device.devnode, device.identity});
    }
    return true;
  }

  std::shared_ptr<DeviceFile> openDevice(const std::string& path, bool read, bool write,
                                         DWORD& error) override {
    const hr::OpenMode mode = write  ? hr::OpenMode::ReadWrite
                              : read ? hr::OpenMode::ReadOnly
                                     : hr::OpenMode::QueryOnly;
    auto node = hr::Node::open(path, mode, sys_);
    if (!node) {
      error = windowsErrorOf(node.error().code);
      return nullptr;
    }
    std::optional<hr::ReportCaps> caps;
    if (auto parsed = node.value().capabilities()) caps = parsed.value();
    std::uint16_t version = 0;
    {
      std::lock_guard lock(scanMutex_);
      if (const auto it = versions_.find(path); it != versions_.end()) version = it->second;
    }
    return std::make_shared<HidrawFile>(std::move(node).value(), caps, version);
  }

 private:
  // A monitor of its own: an Enumerator serves one thread, and the scanner is the GUI thread's.
  void watch(forms::GuiThread& gui) {
    auto monitor = hr::Enumerator::create();
    if (!monitor) {
      nuv::logLine("HID layer: no udev monitor: " + monitor.error().describe());
      return;
    }
    hr::Enumerator& enumerator = monitor.value();
    if (const auto failed = enumerator.startMonitor()) {
      nuv::logLine("HID layer: no udev monitor: " + failed->describe());
      return;
    }
    (void)enumerator.scan();  // so that removals of the nodes present now are reported
    std::vector<hr::DeviceEvent> events;
    for (;;) {
      pollfd fds[2] = {{enumerator.monitorFd(), POLLIN, 0}, {stop_.fd(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
      if (fds[1].revents != 0) return;
      events.clear();
      if (enumerator.drainEvents(events) > 0) {
        gui.postMainWindowMessage({forms::kWmDeviceChange, forms::kDbtDevNodesChanged, 0});
      }
    }
  }

  const std::string onlyPath_;
  hr::SystemCalls& sys_;
  std::mutex scanMutex_;
  hr::Enumerator scanner_;
  std::map<std::string, std::uint16_t> versions_;
  Wakeup stop_;
  std::thread watcher_;
};

}  // namespace

std::unique_ptr<Api> makeLinuxApi(forms::GuiThread* notices, EmulationOptions options) {
  auto scanner = hr::Enumerator::create();
  if (!scanner) {
    nuv::logLine("HID layer: udev cannot be used: " + scanner.error().describe());
    return nullptr;
  }
  return std::make_unique<LinuxApi>(std::move(scanner).value(), notices, std::move(options));
}

}  // namespace nuv::winapi
