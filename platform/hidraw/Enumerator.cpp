#include <set>

#include "platform/hidraw/Hidraw.h"

namespace nuv::hidraw {
namespace {

std::optional<std::uint32_t> parseHexField(std::string_view field) {
  if (field.empty() || field.size() > 8) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : field) {
    std::uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    value = value << 4 | digit;
  }
  return value;
}

std::uint16_t parseVersion(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
  const auto value = parseHexField(text);
  return value && *value <= 0xFFFF ? static_cast<std::uint16_t>(*value) : 0;
}

}  // namespace

std::optional<HidId> parseHidId(std::string_view text) {
  const auto first = text.find(':');
  if (first == std::string_view::npos) return std::nullopt;
  const auto second = text.find(':', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  const auto bus = parseHexField(text.substr(0, first));
  const auto vendor = parseHexField(text.substr(first + 1, second - first - 1));
  const auto product = parseHexField(text.substr(second + 1));
  if (!bus || !vendor || !product || *vendor > 0xFFFF || *product > 0xFFFF) return std::nullopt;
  return HidId{*bus, static_cast<std::uint16_t>(*vendor), static_cast<std::uint16_t>(*product)};
}

bool DeviceFilter::matches(const HidId& id) const {
  return (!vendorId || *vendorId == id.vendorId) && (!productId || *productId == id.productId);
}

Enumerator::Enumerator(std::unique_ptr<UdevBackend> udev, DeviceFilter filter)
    : udev_(std::move(udev)), filter_(filter) {}

Result<Enumerator> Enumerator::create(DeviceFilter filter) {
  auto udev = makeLibudevBackend();
  if (!udev) return udev.error();
  return Enumerator(std::move(udev).value(), filter);
}

std::optional<HidrawDevice> Enumerator::identify(const UdevRecord& record) {
  if (record.devnode.empty() || record.syspath.empty()) return std::nullopt;
  const auto id = parseHidId(record.hidId);
  if (!id || !filter_.matches(*id)) return std::nullopt;
  HidrawDevice device{
      0, record.devnode, record.syspath, *id, parseVersion(record.bcdDevice), record.devnum};
  if (const auto it = known_.find(record.syspath); it != known_.end()) {
    device.identity = it->second.identity;
  } else {
    device.identity = nextIdentity_++;
  }
  known_[record.syspath] = device;
  return device;
}

Result<std::vector<HidrawDevice>> Enumerator::scan() {
  auto records = udev_->enumerate();
  if (!records) return records.error();
  std::vector<HidrawDevice> devices;
  std::set<std::string> present;
  for (const UdevRecord& record : records.value()) {
    if (auto device = identify(record)) {
      present.insert(device->syspath);
      devices.push_back(std::move(*device));
    }
  }
  // Without a monitor no removal would ever forget a node, so the scan does; with one, the
  // removal event does, and must still find the node to report it.
  if (!monitoring_)
    std::erase_if(known_, [&](const auto& kv) { return !present.contains(kv.first); });
  return devices;
}

std::optional<Error> Enumerator::startMonitor() {
  if (monitoring_) return std::nullopt;
  if (auto error = udev_->startMonitor()) return error;
  monitoring_ = true;
  return std::nullopt;
}

int Enumerator::monitorFd() const {
  return monitoring_ ? udev_->monitorFd() : -1;
}

std::size_t Enumerator::drainEvents(std::vector<DeviceEvent>& events) {
  if (!monitoring_) return 0;
  std::size_t appended = 0;
  while (auto record = udev_->receiveEvent()) {
    if (record->action == "add") {
      if (known_.contains(record->syspath)) continue;  // already reported by a scan
      if (auto device = identify(*record)) {
        events.push_back({DeviceAction::Added, std::move(*device)});
        ++appended;
      }
    } else if (record->action == "remove") {
      const auto it = known_.find(record->syspath);
      if (it == known_.end()) continue;
      events.push_back({DeviceAction::Removed, std::move(it->second)});
      known_.erase(it);
      ++appended;
    }
  }
  return appended;
}

}  // namespace nuv::hidraw
