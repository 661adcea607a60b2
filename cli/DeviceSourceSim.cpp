// The emulated devices of --sim as a device source.
#include "cli/DeviceSource.h"
#include "cli/SimSetup.h"

namespace nuv::cli {
namespace {

class SimDeviceSource final : public DeviceSource {
 public:
  explicit SimDeviceSource(unsigned count) {
    for (unsigned n = 1; n <= count; ++n) {
      const SimDeviceNames names = simDeviceNames(n, count);
      DeviceRecord d;
      d.node = names.path;
      d.identity = names.path;
      d.usbPort = names.port;
      d.serial = names.serial;
      d.manufacturer = "Nuv";
      d.product = "update device (emulated)";
      devices_.push_back(std::move(d));
    }
  }
  std::optional<nuv::Error> watch() override { return std::nullopt; }
  int changeFd() const override { return -1; }
  bool takeChanges() override { return false; }
  nuv::Result<std::vector<DeviceRecord>> scan() override { return devices_; }

 private:
  std::vector<DeviceRecord> devices_;
};

}  // namespace

std::unique_ptr<DeviceSource> makeSimDeviceSource(unsigned count) {
  return std::make_unique<SimDeviceSource>(count);
}

#ifndef __linux__
nuv::Result<std::unique_ptr<DeviceSource>> makeDeviceSource(const Options& options) {
  if (options.sim) return makeSimDeviceSource(options.simDevices);
  return nuv::Error::message("no device access on this system");
}
#endif

}  // namespace nuv::cli
