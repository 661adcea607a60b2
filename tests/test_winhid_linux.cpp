// The HID layer on the linux backend, on whatever hidraw nodes this machine has (often none):
// the binding, a scan, a rescan and the udev watcher must work and leave nothing open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "platform/forms/Forms.h"
#include "platform/forms/Headless.h"
#include "platform/winapi/Linux.h"
#include "win/hid/HidControllerClass.h"

namespace {

TEST(LinuxBackend, ControllerScansAndRescansTheMachinesHidrawNodes) {
  nuv::forms::HeadlessGui gui;
  auto api = nuv::winapi::makeLinuxApi(&gui);
  if (!api) GTEST_SKIP() << "udev cannot be used here";
  auto& emulated = dynamic_cast<nuv::winapi::EmulatedApi&>(*api);
  {
    nuv::hid::HidProcess process(*api, gui);
    nuv::hid::THidDeviceController controller(process);
    EXPECT_TRUE(process.hid.IsBound());
    const std::size_t listed = controller.Devices().size();
    for (const nuv::hid::THidDevice* device : controller.Devices()) {
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

// The read path of a node, on a FIFO standing in for /dev/hidrawN (a hidraw node without report
// IDs hands over the payload only, as a FIFO does): the completion inside the alertable wait with
// the report-ID byte put in front, and a close from another thread ending a waiting read.
class LinuxNodeIo : public ::testing::Test {
 protected:
  void SetUp() override {
    api_ = nuv::winapi::makeLinuxApi(nullptr);
    if (!api_) GTEST_SKIP() << "udev cannot be used here";
    dir_ = std::filesystem::temp_directory_path() /
           ("winhid-linux-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    fifo_ = (dir_ / "hidraw").string();
    ASSERT_EQ(::mkfifo(fifo_.c_str(), 0600), 0);
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  static void NUV_WINAPI noteCompletion(nuv::winapi::DWORD error, nuv::winapi::DWORD bytes,
                                        nuv::winapi::OVERLAPPED* overlapped) {
    auto* seen = static_cast<nuv::winapi::DWORD*>(overlapped->hEvent);
    seen[0] = error;
    seen[1] = bytes;
    ++seen[2];
  }

  std::unique_ptr<nuv::winapi::Api> api_;
  std::filesystem::path dir_;
  std::string fifo_;
};

TEST_F(LinuxNodeIo, ReadCompletesInsideTheAlertableWaitWithWindowsFraming) {
  const nuv::winapi::HANDLE h =
      api_->CreateFileA(fifo_.c_str(), nuv::winapi::kGenericRead, 3, nullptr,
                        nuv::winapi::kOpenExisting, nuv::winapi::kFileFlagOverlapped, nullptr);
  ASSERT_NE(h, nuv::winapi::invalidHandle());
  std::uint8_t buffer[9] = {};
  nuv::winapi::DWORD seen[3] = {};
  nuv::winapi::OVERLAPPED overlapped{};
  overlapped.hEvent = seen;
  ASSERT_NE(api_->ReadFileEx(h, buffer, sizeof buffer, &overlapped, &noteCompletion), 0);
  EXPECT_EQ(api_->SleepEx(5, 1), 0u);
  const int writer = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::write(writer, "\x1c\x00\x00", 3), 3);
  EXPECT_EQ(api_->SleepEx(5000, 1), nuv::winapi::kWaitIoCompletion);
  EXPECT_EQ(seen[2], 1u);
  EXPECT_EQ(seen[0], nuv::winapi::kErrorSuccess);
  EXPECT_EQ(seen[1], 4u);
  EXPECT_EQ(buffer[0], 0x00) << "report ID put in front";
  EXPECT_EQ(buffer[1], 0x1c);
  nuv::winapi::DWORD bytes = 0;
  EXPECT_NE(api_->GetOverlappedResult(h, &overlapped, &bytes, 0), 0);
  EXPECT_EQ(bytes, 4u);
  nuv::winapi::HIDD_ATTRIBUTES attributes{12, 0, 0, 0};
  EXPECT_EQ(api_->HidD_GetAttributes(reinterpret_cast<nuv::winapi::FARPROC>(&noteCompletion), h,
                                     &attributes),
            0)
      << "not a HID node";
  ::close(writer);
  (void)api_->CloseHandle(h);
}

TEST_F(LinuxNodeIo, CloseFromAnotherThreadEndsAWaitingRead) {
  const nuv::winapi::HANDLE h =
      api_->CreateFileA(fifo_.c_str(), nuv::winapi::kGenericRead, 3, nullptr,
                        nuv::winapi::kOpenExisting, nuv::winapi::kFileFlagOverlapped, nullptr);
  ASSERT_NE(h, nuv::winapi::invalidHandle());
  // Keep a writer open, so that the FIFO does not read as ended.
  const int writer = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  std::uint8_t buffer[9] = {};
  nuv::winapi::DWORD seen[3] = {};
  nuv::winapi::OVERLAPPED overlapped{};
  overlapped.hEvent = seen;
  ASSERT_NE(api_->ReadFileEx(h, buffer, sizeof buffer, &overlapped, &noteCompletion), 0);
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    (void)api_->CloseHandle(h);
  });
  EXPECT_EQ(api_->SleepEx(60000, 1), nuv::winapi::kWaitIoCompletion);
  closer.join();
  EXPECT_EQ(seen[0], nuv::winapi::kErrorOperationAborted);
  ::close(writer);
}

TEST_F(LinuxNodeIo, MissingNodesAndOtherFailuresGetWindowsCodes) {
  EXPECT_EQ(api_->CreateFileA((dir_ / "gone").c_str(), nuv::winapi::kGenericRead, 3, nullptr,
                              nuv::winapi::kOpenExisting, 0, nullptr),
            nuv::winapi::invalidHandle());
  EXPECT_EQ(api_->GetLastError(), nuv::winapi::kErrorFileNotFound);
}

}  // namespace
