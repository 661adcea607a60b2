// Runs inside the test VM: the Windows HID layer (controller, devices, reader threads) on its
// linux backend, against the kernel's hidraw node of the uhid device.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "platform/forms/Forms.h"
#include "platform/forms/Headless.h"
#include "platform/winapi/Linux.h"
#include "protocol/HIDProto.h"
#include "tests/vm/GuestSupport.h"
#include "win/hid/HidControllerClass.h"

namespace {

using nuv::hid::THidDevice;
using nuv::hid::THidDeviceController;
using namespace std::chrono_literals;

struct Seen {
  std::vector<std::vector<std::uint8_t>> reports;  // report ID first, then the data
  std::vector<std::uint32_t> readErrors;
  int detaches = 0;
  int changes = 0;
  void Report(THidDevice&, std::uint8_t id, const std::uint8_t* data, std::uint16_t size) {
    std::vector<std::uint8_t> r{id};
    r.insert(r.end(), data, data + size);
    reports.push_back(std::move(r));
  }
  void ReadError(THidDevice&, std::uint32_t error) { readErrors.push_back(error); }
  void Detach(THidDevice&) { ++detaches; }
  void Change(THidDeviceController&) { ++changes; }
};

class WinHidOnKernel : public ::testing::Test {
 protected:
  void SetUp() override {
    api_ = nuv::winapi::makeLinuxApi(&gui_);
    ASSERT_NE(api_, nullptr) << "libudev cannot be used";
    process_ = std::make_unique<nuv::hid::HidProcess>(*api_, gui_);
  }
  void TearDown() override {
    controller_.reset();
    process_.reset();
  }
  bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      gui_.processMessages();
      if (!done()) gui_.waitForMessages(5ms);
    }
    return true;
  }
  // The list index of the device at `node`, or -1.
  int indexOf(const std::string& node) const {
    const auto& list = controller_->Devices();
    for (std::size_t i = 0; i < list.size(); ++i)
      if (list[i]->PnpRecord().DevicePath == node) return static_cast<int>(i);
    return -1;
  }
  std::unique_ptr<THidDevice> claim(const std::string& node) {
    gui_.processMessages();
    controller_ = std::make_unique<THidDeviceController>(*process_);
    const int index = indexOf(node);
    EXPECT_GE(index, 0) << node << " is not in the controller's list";
    return index >= 0 ? controller_->ClaimDevice(index) : nullptr;
  }
  static std::vector<std::uint8_t> versionReport() {
    std::vector<std::uint8_t> report(9, 0);
    EXPECT_EQ(HostGenerateVersionCommand(report.data() + 1, 8), 0);
    return report;
  }

  nuv::forms::HeadlessGui gui_;
  std::unique_ptr<nuv::winapi::Api> api_;
  std::unique_ptr<nuv::hid::HidProcess> process_;
  std::unique_ptr<THidDeviceController> controller_;
  Seen seen_;
};

TEST_F(WinHidOnKernel, ListsTheDeviceWithItsAttributesAndReportLengths) {
  vmtest::DeviceProcess device;
  ASSERT_TRUE(device.start()) << device.error();
  auto d = claim(device.node());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->HidAttributes().VendorID, 0xFFFF);
  EXPECT_EQ(d->HidAttributes().ProductID, 0x0100);
  // A uhid device has no USB device above it to take bcdDevice from: the layer says 0.
  EXPECT_EQ(d->HidAttributes().VersionNumber, 0);
  EXPECT_NE(d->PnpRecord().DevInst, 0u);
  EXPECT_TRUE(d->CanReadWrite());
  const nuv::winapi::HIDP_CAPS caps = d->Capabilities();
  EXPECT_EQ(caps.InputReportByteLength, 9);
  EXPECT_EQ(caps.OutputReportByteLength, 9);
  EXPECT_EQ(caps.UsagePage, 0xFF00);
  std::printf("[ winhid   ] %s: input %u, output %u bytes\n", device.node().c_str(),
              caps.InputReportByteLength, caps.OutputReportByteLength);
}

TEST_F(WinHidOnKernel, TakesTheVersionNumberFromTheUsbDevice) {
  vmtest::DeviceProcess device;
  ASSERT_TRUE(device.start({"--usb-gadget"})) << device.error();
  auto d = claim(device.node());
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->HidAttributes().VendorID, 0xFFFF);
  EXPECT_EQ(d->HidAttributes().ProductID, 0x0100);
  EXPECT_EQ(d->HidAttributes().VersionNumber, 0x0101);
  const nuv::winapi::HIDP_CAPS caps = d->Capabilities();
  EXPECT_EQ(caps.InputReportByteLength, 9);
  EXPECT_EQ(caps.OutputReportByteLength, 9);
}

TEST_F(WinHidOnKernel, WritesAReportAndItsReaderThreadHandsTheReplyOver) {
  vmtest::DeviceProcess device;
  ASSERT_TRUE(device.start({"--version", "1.23"})) << device.error();
  auto d = claim(device.node());
  ASSERT_NE(d, nullptr);
  d->SetReadSlice(10);
  d->SetOnReport(nuv::hid::THidDataEvent::of<&Seen::Report>(seen_));
  const auto report = versionReport();
  std::uint32_t written = 0;
  ASSERT_TRUE(d->WriteReport(report.data(), 9, written));
  EXPECT_EQ(written, 9u);
  ASSERT_TRUE(pumpUntil([&] { return !seen_.reports.empty(); }));
  const auto& r = seen_.reports[0];
  ASSERT_EQ(r.size(), 9u) << "report ID and 8 bytes";
  EXPECT_EQ(r[0], 0x00);
  EXPECT_EQ(r[1], kCmdVersion);
  EXPECT_EQ(std::string(r.begin() + 4, r.begin() + 8), "1.23");
  d->SetOnReport(nullptr);
  EXPECT_FALSE(d->ReaderRunning());
}

TEST_F(WinHidOnKernel, UnplugWhileAReadIsPendingEndsTheReaderNotTheProgram) {
  vmtest::DeviceProcess device;
  ASSERT_TRUE(device.start()) << device.error();
  auto d = claim(device.node());
  ASSERT_NE(d, nullptr);
  controller_->SetOnDeviceChange(nuv::hid::TNotifyEvent::of<&Seen::Change>(seen_));
  d->SetReadSlice(10);
  d->SetOnReadError(nuv::hid::THidDataErrorEvent::of<&Seen::ReadError>(seen_));
  d->SetOnDetach(nuv::hid::THidPlugEvent::of<&Seen::Detach>(seen_));
  d->SetOnReport(nuv::hid::THidDataEvent::of<&Seen::Report>(seen_));
  ASSERT_TRUE(d->ReaderRunning());
  gui_.processMessages();
  gui_.waitForMessages(50ms);  // the reader is in its read now: nothing was asked

  device.unplug();
  ASSERT_TRUE(pumpUntil([&] { return !seen_.readErrors.empty() || seen_.detaches > 0; }))
      << "neither a read error nor a detach 10 s after the unplug";
  std::printf("[ winhid   ] after the unplug: %zu read errors (first %u), %d detaches\n",
              seen_.readErrors.size(), seen_.readErrors.empty() ? 0u : seen_.readErrors[0],
              seen_.detaches);
  EXPECT_TRUE(pumpUntil([&] { return indexOf(device.node()) < 0 || !d->Present(); }))
      << "the controller still lists the removed device as present";
  const auto report = versionReport();
  std::uint32_t written = 0;
  EXPECT_FALSE(d->WriteReport(report.data(), 9, written)) << "a write to the removed device";
  d->SetOnReport(nullptr);  // must return: the reader has ended or ends now
  EXPECT_FALSE(d->ReaderRunning());
}

TEST_F(WinHidOnKernel, ADeviceThatArrivesIsListedAfterTheDeviceChange) {
  gui_.processMessages();
  controller_ = std::make_unique<THidDeviceController>(*process_);
  controller_->SetOnDeviceChange(nuv::hid::TNotifyEvent::of<&Seen::Change>(seen_));
  const int before = seen_.changes;
  vmtest::DeviceProcess device;
  ASSERT_TRUE(device.start()) << device.error();
  EXPECT_TRUE(pumpUntil([&] { return seen_.changes > before && indexOf(device.node()) >= 0; }))
      << "no device change listed " << device.node();
  device.unplug();
  EXPECT_TRUE(pumpUntil([&] { return indexOf(device.node()) < 0; }))
      << "the removed device is still listed";
}

}  // namespace
