// The sim backend: the HID interfaces of a virtual bus, with knobs that make single paths fail as
// real devices do (no access, no attributes, reads that cannot start or come back empty).
#include "platform/winapi/Sim.h"

#include <algorithm>
#include <map>
#include <set>

#include "platform/forms/Forms.h"
#include "sim/VirtualBus.h"

namespace nuv::winapi {

struct SimApi::Knobs {
  std::mutex mutex;
  std::set<std::string> denyReadWrite;
  std::set<std::string> denyOpen;
  std::set<std::string> failAttributes;
  std::set<std::string> failReadStarts;
  std::set<std::string> failDetail;
  std::map<std::string, int> emptyReads;
  bool failDeviceInfoSet = false;

  [[nodiscard]] bool has(const std::set<std::string>& set, const std::string& path) {
    std::lock_guard lock(mutex);
    return set.count(path) != 0;
  }
  [[nodiscard]] bool takeEmptyRead(const std::string& path) {
    std::lock_guard lock(mutex);
    const auto it = emptyReads.find(path);
    if (it == emptyReads.end() || it->second <= 0) return false;
    --it->second;
    return true;
  }
};

namespace {

class SimFile final : public DeviceFile {
 public:
  SimFile(sim::VirtualBus& bus, std::shared_ptr<SimApi::Knobs> knobs, sim::DeviceInfo info,
          std::shared_ptr<sim::UpdateDevice> device, std::shared_ptr<sim::Connection> connection,
          bool read, bool write)
      : bus_(bus),
        knobs_(std::move(knobs)),
        info_(std::move(info)),
        device_(std::move(device)),
        connection_(std::move(connection)),
        read_(read),
        write_(write) {}
  ~SimFile() override { close(); }

  bool canRead() const override { return read_ && connection_ != nullptr; }
  bool canWrite() const override { return write_ && connection_ != nullptr; }

  nuv::IoStatus awaitRead(std::uint8_t* buffer, std::size_t capacity, std::size_t& length,
                          std::chrono::milliseconds timeout) override {
    length = 0;
    if (closed_.load()) return nuv::IoStatus::Cancelled;
    if (knobs_->takeEmptyRead(info_.path)) return nuv::IoStatus::Ok;
    const nuv::IoStatus status = connection_->read(buffer, capacity, &length, timeout);
    if (status != nuv::IoStatus::Gone && status != nuv::IoStatus::Failed) return status;
    return closed_.load() ? nuv::IoStatus::Cancelled : nuv::IoStatus::Gone;
  }

  DWORD readStartError() override {
    if (knobs_->has(knobs_->failReadStarts, info_.path)) return kErrorGenFailure;
    return gone() ? kErrorDeviceNotConnected : kErrorSuccess;
  }

  DWORD write(const std::uint8_t* data, std::size_t length) override {
    switch (connection_->write(data, length)) {
      case nuv::IoStatus::Ok:
        return kErrorSuccess;
      case nuv::IoStatus::Gone:
        return kErrorDeviceNotConnected;
      default:
        return kErrorGenFailure;
    }
  }

  DWORD attributes(HIDD_ATTRIBUTES& out) override {
    if (knobs_->has(knobs_->failAttributes, info_.path)) return kErrorGenFailure;
    if (gone()) return kErrorDeviceNotConnected;
    out.VendorID = info_.vendorId;
    out.ProductID = info_.productId;
    out.VersionNumber = info_.versionNumber;
    return kErrorSuccess;
  }

  DWORD capabilities(HIDP_CAPS& out) override {
    if (gone()) return kErrorDeviceNotConnected;
    out = HIDP_CAPS{};
    out.Usage = 0x0001;
    out.UsagePage = 0xFF00;  // vendor-defined
    out.InputReportByteLength = info_.inputReportLength;
    out.OutputReportByteLength = info_.outputReportLength;
    out.FeatureReportByteLength = info_.featureReportLength;
    return kErrorSuccess;
  }

  void close() override {
    if (!closed_.exchange(true) && connection_) connection_->close();
  }

 private:
  // The device object at the path changes when it is unplugged (and plugged again).
  [[nodiscard]] bool gone() const { return bus_.device(info_.path) != device_; }

  sim::VirtualBus& bus_;
  const std::shared_ptr<SimApi::Knobs> knobs_;
  const sim::DeviceInfo info_;
  const std::shared_ptr<sim::UpdateDevice> device_;
  const std::shared_ptr<sim::Connection> connection_;
  const bool read_;
  const bool write_;
  std::atomic<bool> closed_{false};
};

}  // namespace

std::unique_ptr<SimApi> makeSimApi(sim::VirtualBus& bus, forms::GuiThread* notices,
                                   EmulationOptions options) {
  return std::make_unique<SimApi>(bus, notices, std::move(options));
}

SimApi::SimApi(sim::VirtualBus& bus, forms::GuiThread* notices, EmulationOptions options)
    : EmulatedApi(std::move(options)),
      bus_(bus),
      notices_(notices),
      knobs_(std::make_shared<Knobs>()) {
  if (notices_ != nullptr) {
    changeListener_ = bus_.addChangeListener([gui = notices_] {
      gui->postMainWindowMessage({forms::kWmDeviceChange, forms::kDbtDevNodesChanged, 0});
    });
  }
}

SimApi::~SimApi() {
  if (changeListener_ != 0) bus_.removeChangeListener(changeListener_);
}

void SimApi::denyReadWrite(const std::string& path) {
  std::lock_guard lock(knobs_->mutex);
  knobs_->denyReadWrite.insert(path);
}

void SimApi::denyOpen(const std::string& path) {
  std::lock_guard lock(knobs_->mutex);
  knobs_->denyOpen.insert(path);
}

void SimApi::failAttributes(const std::string& path) {
  std::lock_guard lock(knobs_->mutex);
  knobs_->failAttributes.insert(path);
}

void SimApi::failReadStarts(const std::string& path, bool fail) {
  std::lock_guard lock(knobs_->mutex);
  if (fail) {
    knobs_->failReadStarts.insert(path);
  } else {
    knobs_->failReadStarts.erase(path);
  }
}

void SimApi::completeReadsEmpty(const std::string& path, int count) {
  std::lock_guard lock(knobs_->mutex);
  knobs_->emptyReads[path] = count;
}

int SimApi::emptyReadsLeft(const std::string& path) const {
  std::lock_guard lock(knobs_->mutex);
  const auto it = knobs_->emptyReads.find(path);
  return it == knobs_->emptyReads.end() ? 0 : it->second;
}

void SimApi::failDeviceInfoSet(bool fail) {
  std::lock_guard lock(knobs_->mutex);
  knobs_->failDeviceInfoSet = fail;
}

void SimApi::failInterfaceDetail(const std::string& path) {
  std::lock_guard lock(knobs_->mutex);
  knobs_->failDetail.insert(path);
}

void SimApi::clearKnobs() {
  std::lock_guard lock(knobs_->mutex);
  knobs_->denyReadWrite.clear();
  knobs_->denyOpen.clear();
  knobs_->failAttributes.clear();
  knobs_->failReadStarts.clear();
  knobs_->failDetail.clear();
  knobs_->emptyReads.clear();
  knobs_->failDeviceInfoSet = false;
}

bool SimApi::listInterfaces(std::vector<InterfaceEntry>& out, DWORD& error) {
  {
    std::lock_guard lock(knobs_->mutex);
    if (knobs_->failDeviceInfoSet) {
      error = kErrorGenFailure;
      return false;
    }
  }
  for (const sim::DeviceInfo& info : bus_.devices()) {
    out.push_back(InterfaceEntry{info.path, info.instanceId});
  }
  return true;
}

bool SimApi::detailReadable(const std::string& path) {
  return !knobs_->has(knobs_->failDetail, path);
}

std::shared_ptr<DeviceFile> SimApi::openDevice(const std::string& path, bool read, bool write,
                                               DWORD& error) {
  if (knobs_->has(knobs_->denyOpen, path) ||
      ((read || write) && knobs_->has(knobs_->denyReadWrite, path))) {
    error = kErrorAccessDenied;
    return nullptr;
  }
  auto device = bus_.device(path);
  const std::vector<sim::DeviceInfo> present = bus_.devices();
  const auto info = std::find_if(present.begin(), present.end(),
                                 [&](const sim::DeviceInfo& d) { return d.path == path; });
  if (!device || info == present.end()) {
    error = kErrorFileNotFound;
    return nullptr;
  }
  // A query-only handle reads and writes nothing, so it takes no copy of the input reports.
  std::shared_ptr<sim::Connection> connection;
  if (read || write) {
    connection = bus_.open(path);
    if (!connection) {
      error = kErrorFileNotFound;
      return nullptr;
    }
  }
  return std::make_shared<SimFile>(bus_, knobs_, *info, std::move(device), std::move(connection),
                                   read, write);
}

}  // namespace nuv::winapi
