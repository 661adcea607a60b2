// This machine's update devices: hidraw nodes through udev, with what sysfs says of them.
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "cli/DeviceSource.h"
#include "platform/hidraw/Hidraw.h"
#include "protocol/DeviceIdentity.h"

namespace nuv::cli {
namespace {

namespace fs = std::filesystem;
namespace hr = nuv::hidraw;

// The first line of a sysfs attribute file, or nothing when it is not there.
std::optional<std::string> attribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
  return line;
}

// KEY=VALUE lines of a uevent file.
std::optional<std::string> ueventValue(const fs::path& file, std::string_view key) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line))
    if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == '=')
      return line.substr(key.size() + 1);
  return std::nullopt;
}

class HidrawDeviceSource final : public DeviceSource {
 public:
  explicit HidrawDeviceSource(hr::Enumerator enumerator) : enumerator_(std::move(enumerator)) {}

  std::optional<nuv::Error> watch() override { return enumerator_.startMonitor(); }
  int changeFd() const override { return enumerator_.monitorFd(); }
  bool takeChanges() override {
    events_.clear();
    return enumerator_.drainEvents(events_) > 0;
  }
  nuv::Result<std::vector<DeviceRecord>> scan() override {
    auto scanned = enumerator_.scan();
    if (!scanned) return scanned.error();
    std::vector<DeviceRecord> records;
    for (const hr::HidrawDevice& d : scanned.value()) {
      DeviceRecord r;
      r.node = d.devnode;
      r.identity = d.syspath;
      r.devnum = d.devnum;
      r.vendorId = d.id.vendorId;
      r.productId = d.id.productId;
      readSysfsDetails(d.syspath, r);
      auto node = hr::Node::open(d.devnode, hr::OpenMode::ReadWrite);
      if (!node) {
        const int code = node.error().code;
        r.access = code == EACCES || code == EPERM ? Access::Denied : Access::Failed;
        r.accessDetail = node.error().describe();
      }
      records.push_back(std::move(r));
    }
    return records;
  }

 private:
  hr::Enumerator enumerator_;
  std::vector<hr::DeviceEvent> events_;
};

}  // namespace

void readSysfsDetails(const std::string& syspath, DeviceRecord& record) {
  std::error_code error;
  // hidraw/hidrawN/device is the HID device (".../0003:FFFF:0100.0007").
  const fs::path hid = fs::canonical(fs::path(syspath) / "device", error);
  if (error) return;
  if (auto uniq = ueventValue(hid / "uevent", "HID_UNIQ"); uniq && !uniq->empty())
    record.serial = *uniq;
  const auto hidName = ueventValue(hid / "uevent", "HID_NAME");
  // The USB device is the first directory above with a bus number and a port chain; its name
  // is "BUS-PORT.PORT...", the same as busnum-devpath.
  for (fs::path dir = hid.parent_path(); !dir.empty() && dir != dir.root_path();
       dir = dir.parent_path()) {
    const auto busnum = attribute(dir / "busnum");
    const auto devpath = attribute(dir / "devpath");
    if (!busnum || !devpath) continue;
    record.usbPort = *busnum + "-" + *devpath;
    record.manufacturer = attribute(dir / "manufacturer").value_or("");
    record.product = attribute(dir / "product").value_or("");
    break;
  }
  if (record.product.empty() && hidName) record.product = *hidName;
}

nuv::Result<std::unique_ptr<DeviceSource>> makeHidrawDeviceSource(
    std::unique_ptr<hr::UdevBackend> udev) {
  const hr::DeviceFilter updateDevices{nuv::kUpdateVendorId, nuv::kUpdateProductId};
  if (udev) {
    return std::unique_ptr<DeviceSource>(
        std::make_unique<HidrawDeviceSource>(hr::Enumerator(std::move(udev), updateDevices)));
  }
  auto enumerator = hr::Enumerator::create(updateDevices);
  if (!enumerator) return enumerator.error();
  return std::unique_ptr<DeviceSource>(
      std::make_unique<HidrawDeviceSource>(std::move(enumerator).value()));
}

nuv::Result<std::unique_ptr<DeviceSource>> makeDeviceSource(const Options& options) {
  if (options.sim) return makeSimDeviceSource(options.simDevices);
  return makeHidrawDeviceSource();
}

}  // namespace nuv::cli
