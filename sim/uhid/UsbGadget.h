// The emulated update device as a USB device: a HID function of the kernel's USB gadget
// framework (configfs), bound to a USB device controller. With the dummy_hcd module the
// controller and a host port sit in the same kernel, so the kernel's own USB HID driver
// (usbhid) binds the device and makes its hidraw node: the path closest to a real device that
// needs no hardware. The device side reads output reports from /dev/hidgN (the kernel has
// already dropped the report-ID byte) and writes input reports there.
//
// Needs root, configfs mounted at /sys/kernel/config, the usb_f_hid and libcomposite modules and
// a USB device controller (dummy_hcd gives one). Not thread-safe: one thread owns a gadget.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "protocol/Error.h"
#include "protocol/Result.h"
#include "sim/uhid/ReportEngine.h"
#include "sim/uhid/Serving.h"
#include "sim/uhid/UhidIdentity.h"

namespace nuv::sim::uhid {

inline constexpr const char* kDefaultConfigfs = "/sys/kernel/config";

class UsbGadget {
 public:
  // Builds the gadget <configfs>/usb_gadget/<name> with the identity's vendor, product,
  // version, name (product string), uniq (serial number, which the host shows as HID_UNIQ) and
  // report descriptor, and binds it to `udc` (empty: the first controller in
  // /sys/class/udc). On failure whatever was built is taken down again.
  [[nodiscard]] static nuv::Result<std::unique_ptr<UsbGadget>> create(
      const Identity& identity, const std::string& name,
      const std::string& configfs = kDefaultConfigfs, const std::string& udc = "");
  ~UsbGadget();  // unbinds and removes what create built
  UsbGadget(const UsbGadget&) = delete;
  UsbGadget& operator=(const UsbGadget&) = delete;

  // The gadget side's character device, /dev/hidgN.
  [[nodiscard]] const std::string& devicePath() const { return devicePath_; }
  [[nodiscard]] bool bound() const { return bound_; }
  // Unbinds the gadget from its controller: the host sees the device unplugged.
  [[nodiscard]] std::optional<nuv::Error> unbind();

 private:
  UsbGadget(std::string root, std::string function)
      : root_(std::move(root)), function_(std::move(function)) {}
  void takeDown();

  std::string root_;      // <configfs>/usb_gadget/<name>
  std::string function_;  // hid.usb0
  std::string devicePath_;
  bool bound_ = false;
};

// The serving loop of the USB gadget path: the same engine as the uhid Server, fed from
// /dev/hidgN.
class GadgetServer final : public Serving {
 public:
  // Opens the gadget's character device. Fails when it cannot be opened.
  [[nodiscard]] static nuv::Result<std::unique_ptr<GadgetServer>> open(
      std::unique_ptr<UsbGadget> gadget, std::shared_ptr<UpdateDevice> device);
  ~GadgetServer() override;

  // /dev/hidgN, also for writing while a reply waits for the previous one to leave.
  [[nodiscard]] Wait waitFor() const override;
  [[nodiscard]] ServeStep serve(short revents) override;
  [[nodiscard]] std::optional<nuv::Error> unplug() override;
  [[nodiscard]] bool present() const override { return gadget_ && gadget_->bound(); }
  [[nodiscard]] const ServerStats& stats() const override { return engine_.stats(); }

 private:
  GadgetServer(std::unique_ptr<UsbGadget> gadget, int fd, std::shared_ptr<UpdateDevice> device);

  std::unique_ptr<UsbGadget> gadget_;
  int fd_ = -1;
  ReportEngine engine_;
  bool blocked_ = false;  // the last reply waits for the previous one to leave
  std::array<std::uint8_t, 64> in_{};
};

}  // namespace nuv::sim::uhid
