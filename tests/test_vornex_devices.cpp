// The device list of the window: which devices are listed and used, plug and unplug while idle,
// and the guards around the received reports.
#include "tests/test_vornex_fixture.h"

namespace vornex_test {
namespace {

TEST_F(VornexTest, OfTwoMatchingDevicesTheFirstIsUsedAndTheSecondNever) {
  auto first = plug();
  auto second = plug();
  start();
  ASSERT_EQ(form_->DevListBox.count(), 2);
  EXPECT_EQ(form_->DevListBox.item(1).text, "FFFF0100");
  EXPECT_EQ(form_->CurrentDevice, form_->DevListBox.item(0).object);
  form_->READ_car.click();
  EXPECT_EQ(form_->StatusBar1.panelText(), "Version:1.01");
  EXPECT_EQ(countOf(*first, kCmdVersion), 1u);
  EXPECT_EQ(second->commandCount(), 0u);
}

TEST_F(VornexTest, ADeviceWithAnotherProductIsNotListed) {
  nuv::sim::DeviceInfo other;
  other.productId = 0x0101;
  auto device = plug({}, other);
  start();
  EXPECT_EQ(form_->DevListBox.count(), 0);
  EXPECT_FALSE(form_->READ_car.enabled());
  EXPECT_EQ(device->commandCount(), 0u);
}

TEST_F(VornexTest, UnplugAndReplugWhileIdle) {
  auto device = plug();
  start();
  const std::string path = pathOf(device);
  ASSERT_EQ(device->commandCount(), 1u);
  ASSERT_TRUE(bus_.unplug(path));
  pump();
  EXPECT_FALSE(form_->READ_car.enabled());
  EXPECT_FALSE(form_->Write_car.enabled());
  EXPECT_EQ(form_->DevListBox.count(), 0);
  EXPECT_EQ(form_->CurrentDevice, nullptr);
  EXPECT_EQ(device->commandCount(), 1u);  // nothing sent to it

  nuv::sim::DeviceInfo again;
  again.path = path;
  ASSERT_TRUE(bus_.plug(device, again));
  pump();
  EXPECT_TRUE(form_->READ_car.enabled());
  EXPECT_TRUE(form_->Write_car.enabled());
  ASSERT_EQ(device->commandCount(), 2u);  // one refresh report more
  EXPECT_EQ(device->commands().back().code(), 0xFF);
  EXPECT_EQ(form_->StatusBar1.panelText(), "Idle");
}

// A mouse or keyboard plugged or unplugged during a download: the download goes on with its
// device, and the list is rebuilt (one Refresh) only after Burn.
TEST_F(VornexTest, AnotherDeviceComingOrGoingDuringADownloadWaitsForItsEnd) {
  auto device = plug();
  start();
  nuv::sim::DeviceInfo mouse;
  mouse.path = "sim:mouse";
  mouse.productId = 0x0101;
  // Time passes only while no reply is on its way, so that a download that lost its device
  // ends with a time-out instead of waiting for ever.
  tickWhen([&] { return !gui_.waitForSynchronize(200ms); });
  for (const bool arriving : {true, false}) {
    SCOPED_TRACE(arriving ? "arriving" : "leaving");
    onStatus = [&](const Status& s) {
      if (s.text != "Writing Data...") return;
      if (arriving) {
        plug({}, mouse);
      } else {
        ASSERT_TRUE(bus_.unplug("sim:mouse"));
      }
    };
    const auto refreshes = countOf(*device, 0xFF);
    const auto burns = device->burnCount();
    chooseFile(writeFile("UPDATA.nuv", makeImage()));
    form_->Write_car.click();
    EXPECT_EQ(form_->StatusBar1.panelText(), "Update Completed");
    EXPECT_EQ(device->burnCount(), burns + 1);
    EXPECT_EQ(countOf(*device, 0xFF), refreshes + 1);
    const auto commands = device->commands();
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[commands.size() - 2].code(), kCmdBurn);
    EXPECT_EQ(commands.back().code(), 0xFF);
    EXPECT_EQ(form_->DevListBox.count(), 1);
    EXPECT_TRUE(form_->Write_car.enabled());
  }
}

// A report the device sent unasked before the Link (here: while the status said "Link...") is
// never taken as the Link's reply.
TEST_F(VornexTest, AReportSentBeforeACommandIsNotItsReply) {
  auto device = plug();
  start();
  const std::string path = pathOf(device);
  onStatus = [&](const Status& s) {
    if (s.text != "Link...") return;
    auto other = bus_.open(path);
    std::uint8_t version[9] = {0};
    (void)HostGenerateVersionCommand(version + 1, 8);
    ASSERT_EQ(other->write(version, sizeof version), nuv::IoStatus::Ok);
    ASSERT_TRUE(gui_.waitForSynchronize(5000ms));
  };
  form_->READ_car.click();
  EXPECT_TRUE(gui_.boxes().empty());
  EXPECT_EQ(form_->StatusBar1.panelText(), "Version:1.01");
}

TEST_F(VornexTest, ADeviceThatCannotBeClaimedGetsNoEntry) {
  plug();
  start();
  ASSERT_EQ(form_->DevListBox.count(), 1);
  nuv::hid::THidDevice* current = form_->CurrentDevice;
  // The controller refuses a second claim of the same index.
  EXPECT_TRUE(form_->HidCtlEnumerate(*current, 0));
  EXPECT_EQ(form_->DevListBox.count(), 1);
  form_->DevListBoxClick();
  EXPECT_EQ(form_->CurrentDevice, current);
}

TEST_F(VornexTest, AReportLongerThanRxDataKeepsItsFirst64Bytes) {
  plug();
  start();
  std::vector<std::uint8_t> data(200);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
  form_->ReportReceived(*form_->CurrentDevice, 0x01, data.data(), 200);
  EXPECT_TRUE(form_->ReplyReady);
  for (std::size_t i = 0; i < form_->RxData.size(); ++i) ASSERT_EQ(form_->RxData[i], i);
  ASSERT_EQ(form_->ListBox1.count(), 1u);
  EXPECT_EQ(form_->ListBox1.line(0).size(), 6u + 128u);
  EXPECT_EQ(form_->ListBox1.line(0).substr(0, 12), "R 01  000102");
}

// A reply too short to hold the echoed code and address is refused: the bytes it lacks are not
// taken from the reply before it, and nothing of that reply is left for the version text.
TEST_F(VornexTest, AShortReplyIsNotCompletedByTheOneBefore) {
  plug();
  start();
  const std::uint8_t data[4] = {0x12, 0x34, 0x56, 0x78};
  ASSERT_EQ(HostGenerateWriteCommand(form_->TxReport.data() + 1, kReportSize, 0x0004, data), 0);
  const std::vector<std::uint8_t> echo(form_->TxReport.begin() + 1, form_->TxReport.begin() + 9);
  struct Case {
    std::uint16_t length;
    std::int32_t result;
  };
  for (const Case c : {Case{8, ResultNone}, Case{2, ResultDataError}, Case{8, ResultNone},
                       Case{1, ResultDataError}, Case{3, ResultNone}}) {
    form_->ResultCode = ResultNone;
    form_->ReportReceived(*form_->CurrentDevice, 0, echo.data(), c.length);
    form_->WaitReply();
    EXPECT_EQ(form_->ResultCode, c.result) << c.length << " bytes";
    for (std::size_t i = c.length; i < form_->RxData.size(); ++i)
      ASSERT_EQ(form_->RxData[i], 0) << c.length << " bytes, byte " << i;
  }
}

TEST_F(VornexTest, InputIsSwitchedOffByActivationAndOnByAFlow) {
  plug();
  start();
  ASSERT_NE(form_->CurrentDevice, nullptr);
  EXPECT_FALSE(form_->CurrentDevice->ReaderRunning());
  form_->READ_car.click();
  EXPECT_TRUE(form_->CurrentDevice->ReaderRunning());  // stays on after the flow
  EXPECT_TRUE(form_->ReadBtn.down());
  gui_.activateMainForm();
  EXPECT_FALSE(form_->CurrentDevice->ReaderRunning());
  EXPECT_FALSE(form_->ReadBtn.down());
}

TEST_F(VornexTest, DeviceKeyIsUppercaseHex) {
  nuv::sim::DeviceInfo info;
  info.vendorId = 0x0ABC;
  info.productId = 0x00EF;
  plug({}, info);
  plug();
  start();
  bool seen = false;
  for (nuv::hid::THidDevice* d : form_->HidCtl->Devices()) {
    if (d->HidAttributes().VendorID == 0x0ABC) {
      EXPECT_EQ(DeviceKey(*d), "0ABC00EF");
      seen = true;
    }
  }
  EXPECT_TRUE(seen);
}

}  // namespace
}  // namespace vornex_test
