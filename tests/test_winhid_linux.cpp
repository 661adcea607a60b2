// The HID layer on the linux backend, on whatever hidraw nodes this machine has (often none):
// the binding, a scan, a rescan and the udev watcher must work and leave nothing open.
#include <gtest/gtest.h>

#include "Emulated.h"
#include "Forms.h"
#include "HidControllerClass.h"

namespace {

TEST(LinuxBackend, ControllerScansAndRescansTheMachinesHidrawNodes) {
  forms::HeadlessGui gui;
  auto api = winapi::makeLinuxApi(&gui);
  if (!api) GTEST_SKIP() << "udev cannot be used here";
  auto& emulated = dynamic_cast<winapi::EmulatedApi&>(*api);
  {
    hid::HidProcess process(*api, gui);
    hid::THidDeviceController controller(process);
    EXPECT_TRUE(process.hid.IsBound());
    const std::size_t listed = controller.Devices().size();
    for (const hid::THidDevice* device : controller.Devices()) {
      EXPECT_EQ(device->PnpRecord().DevicePath.rfind("/dev/hidraw", 0), 0u);
      EXPECT_NE(device->PnpRecord().DevInst, 0u);
    }
    controller.DeviceChange();
    EXPECT_EQ(controller.Devices().size(), listed) << "nothing was plugged in between";
    gui.processMessages();
  }
  EXPECT_EQ(emulated.openHandleCount(), 0u);
  EXPECT_EQ(emulated.loadedModuleCount(), 0);
}

}  // namespace
