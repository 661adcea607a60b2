// Runs inside the test VM: QuenlorHID's controller on its linux HID manager backend, against
// the kernel's hidraw node of the uhid device. The run loop is the headless one: the device's
// replies come in real time, the program's delayed steps (0.5 s, 4 s, 1 s) on the loop's
// virtual clock, moved on only when nothing has come from the kernel for a while.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include "mac/AppDelegate.h"
#include "mac/HIDViewController.h"
#include "platform/cocoa/Headless.h"
#include "platform/iohid/Linux.h"
#include "protocol/UpdateImage.h"
#include "tests/vm/GuestSupport.h"

namespace {

using namespace std::chrono_literals;

class QuenlorHIDOnKernel : public ::testing::Test {
 protected:
  void launch() {
    delegate_ = std::make_unique<nuv::mac::AppDelegate>(
        app_, [] { return nuv::iohid::createLinuxHIDManager(); });
    delegate_->applicationDidFinishLaunching();
    app_.runLoop().runUntilIdle();
  }
  ~QuenlorHIDOnKernel() override { delegate_.reset(); }

  // Runs the loop until `done` holds, for at most `limit` of real time. When nothing has come
  // for 20 ms (the kernel answers in well under 1 ms), the virtual clock moves to the next
  // delayed step.
  bool pump(const std::function<bool()>& done, std::chrono::milliseconds limit = 60s) {
    auto& loop = app_.runLoop();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int quietMs = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      const std::size_t delivered = loop.runUntilIdle();
      if (done()) return true;
      if (delivered > 0) {
        quietMs = 0;
        continue;
      }
      std::this_thread::sleep_for(1ms);
      if (++quietMs >= 20) {
        if (const auto next = loop.nextTimerAt()) loop.advance(*next - loop.now());
        quietMs = 0;
      }
    }
    return done();
  }
  std::string status() { return app_.nib()->statusTextField.stringValue(); }

  nuv::cocoa::HeadlessApplication app_;
  std::unique_ptr<nuv::mac::AppDelegate> delegate_;
};

TEST_F(QuenlorHIDOnKernel, MatchesTheDeviceWhenItArrivesAndForgetsItWhenItGoes) {
  launch();
  EXPECT_EQ(status(), "idle");
  vmtest::DeviceProcess device;
  ASSERT_TRUE(device.start()) << device.error();
  EXPECT_TRUE(pump([&] { return status() == "Ready"; }, 5s)) << "status: " << status();
  EXPECT_TRUE(app_.nib()->versionButton.isEnabled());
  device.unplug();
  EXPECT_TRUE(pump([&] { return status() == "idle"; }, 5s)) << "status: " << status();
}

TEST_F(QuenlorHIDOnKernel, VersionQueryThroughTheKernel) {
  vmtest::DeviceProcess device;
  ASSERT_TRUE(device.start({"--version", "1.23"})) << device.error();
  launch();
  ASSERT_TRUE(pump([&] { return status() == "Ready"; }, 5s)) << "status: " << status();
  ASSERT_TRUE(app_.nib()->versionButton.click());
  // The reply only comes if the send was framed as hidraw wants it (0x00, then the 8 bytes).
  EXPECT_TRUE(pump([&] { return status() == "Version: 1.23"; }, 10s)) << "status: " << status();
}

TEST_F(QuenlorHIDOnKernel, DownloadLeavesTheImageInDeviceMemory) {
  vmtest::DeviceProcess device;
  ASSERT_TRUE(device.start()) << device.error();
  std::vector<std::uint8_t> firmware(nuv::image::kFirmwareSize);
  std::mt19937 random(41);
  for (auto& b : firmware) b = static_cast<std::uint8_t>(random());
  const auto image = nuv::image::pack(firmware, 0xEE);
  const auto path = std::filesystem::temp_directory_path() / "vm-quenlorhid.nuv";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  app_.setOpenPanelResponder([path] {
    return nuv::cocoa::OpenPanelResult{nuv::cocoa::kModalResponseOK, {path.string()}};
  });

  launch();
  ASSERT_TRUE(pump([&] { return status() == "Ready"; }, 5s)) << "status: " << status();
  ASSERT_TRUE(app_.nib()->downloadButton.click());
  ASSERT_TRUE(pump([&] { return status() == "Finished"; }, 120s)) << "status: " << status();

  ASSERT_EQ(device.stop(), 0);
  const auto memory = device.memory();
  ASSERT_EQ(memory.size(), 0x10000u);
  EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), memory.begin()))
      << "device memory differs from the image's firmware";
  EXPECT_TRUE(std::all_of(memory.begin() + nuv::image::kFirmwareSize, memory.end(),
                          [](std::uint8_t b) { return b == 0; }))
      << "the macOS walk writes zeros past the image's data";
  std::filesystem::remove(path);
}

}  // namespace
