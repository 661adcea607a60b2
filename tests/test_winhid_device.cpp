// Device objects: creation, opening rules, report lengths, writes, detach and hand-back.
#include "tests/winhid_fixture.h"

namespace winhid_test {
namespace {

class DeviceTest : public HidLayerTest {};

TEST_F(DeviceTest, CreationReadsIdentityAndClosesItsHandle) {
  const std::string path = plug({.vendorId = 0xFFFF, .productId = 0x0100, .versionNumber = 0x0203});
  auto ctl = makeController();
  ASSERT_EQ(ctl->Devices().size(), 1u);
  const THidDevice& d = *ctl->Devices()[0];
  EXPECT_EQ(d.HidAttributes().Size, 12u);
  EXPECT_EQ(d.HidAttributes().VendorID, 0xFFFF);
  EXPECT_EQ(d.HidAttributes().ProductID, 0x0100);
  EXPECT_EQ(d.HidAttributes().VersionNumber, 0x0203);
  EXPECT_EQ(d.PnpRecord().DevicePath, path);
  EXPECT_TRUE(d.CanReadWrite());
  EXPECT_TRUE(d.Present());
  EXPECT_FALSE(d.Claimed());
  EXPECT_FALSE(d.IsUsable());
  EXPECT_EQ(d.ReadSlice(), 100);
  EXPECT_EQ(api_->openHandleCount(), 0u);
}

TEST_F(DeviceTest, UnopenableOrUnidentifiableDevicesAreSkipped) {
  const std::string a = plug();
  const std::string b = plug();
  const std::string c = plug();
  api_->denyOpen(a);
  api_->failAttributes(b);
  auto ctl = makeController();
  ASSERT_EQ(ctl->Devices().size(), 1u);
  EXPECT_EQ(ctl->Devices()[0]->PnpRecord().DevicePath, c);
  EXPECT_EQ(api_->openHandleCount(), 0u);
}

TEST_F(DeviceTest, QueryOnlyDeviceIsListedButCannotWriteOrRead) {
  const std::string path = plug();
  api_->denyReadWrite(path);
  Recorder rec;
  auto ctl = makeController();
  ASSERT_EQ(ctl->Devices().size(), 1u);
  EXPECT_FALSE(ctl->Devices()[0]->CanReadWrite());
  auto d = ctl->ClaimDevice(0);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->Capabilities().OutputReportByteLength, 9);
  EXPECT_FALSE(sendVersion(*d));
  d->SetOnReport(rec.reportEvent());
  EXPECT_FALSE(d->ReaderRunning());
  EXPECT_EQ(bus_.device(path)->commandCount(), 0u);
}

TEST_F(DeviceTest, CapabilitiesNeedAUsableObjectAndAreCachedOnceFetched) {
  const std::string path = plug({.inputReportLength = 9, .outputReportLength = 65});
  auto ctl = makeController();
  THidDevice& listed = *ctl->Devices()[0];
  EXPECT_EQ(listed.Capabilities().InputReportByteLength, 0) << "not usable: no I/O";
  EXPECT_EQ(api_->livePreparsedCount(), 0u) << "a failure is not cached";
  auto d = ctl->ClaimDevice(0);
  const nuv::winapi::HIDP_CAPS caps = d->Capabilities();
  EXPECT_EQ(caps.InputReportByteLength, 9);
  EXPECT_EQ(caps.OutputReportByteLength, 65);
  EXPECT_EQ(caps.UsagePage, 0xFF00);
  EXPECT_EQ(api_->openHandleCount(), 0u) << "the fetch closes the synchronous handle";
  api_->denyOpen(path);
  EXPECT_EQ(d->Capabilities().OutputReportByteLength, 65) << "cached: no I/O";
  d.reset();
  EXPECT_EQ(api_->livePreparsedCount(), 0u) << "released at destruction";
}

TEST_F(DeviceTest, WriteReportWritesOneReportAndKeepsTheHandle) {
  const std::string path = plug();
  auto ctl = makeController();
  std::uint32_t written = 99;
  const auto report = versionReport();
  EXPECT_FALSE(ctl->Devices()[0]->WriteReport(report.data(), 9, written)) << "not claimed";
  EXPECT_EQ(written, 0u);
  auto d = ctl->ClaimDevice(0);
  ASSERT_TRUE(d->WriteReport(report.data(), 9, written));
  EXPECT_EQ(written, 9u);
  EXPECT_EQ(api_->openHandleCount(), 1u);
  ASSERT_EQ(bus_.device(path)->commandCount(), 1u);
  EXPECT_EQ(bus_.device(path)->commands()[0].code(), kCmdVersion);
  EXPECT_FALSE(d->WriteReport(report.data(), 8, written)) << "wrong length refused by the device";
  bus_.unplug(path);
  EXPECT_FALSE(d->WriteReport(report.data(), 9, written));
  EXPECT_EQ(api_->GetLastError(), nuv::winapi::kErrorDeviceNotConnected);
}

TEST_F(DeviceTest, ReadSliceTakesOnlyTenToTenThousand) {
  plug();
  auto ctl = makeController();
  THidDevice& d = *ctl->Devices()[0];
  d.SetReadSlice(9);
  EXPECT_EQ(d.ReadSlice(), 100);
  d.SetReadSlice(10001);
  EXPECT_EQ(d.ReadSlice(), 100);
  d.SetReadSlice(10);
  EXPECT_EQ(d.ReadSlice(), 10);
  d.SetReadSlice(10000);
  EXPECT_EQ(d.ReadSlice(), 10000);
}

TEST_F(DeviceTest, DetachClosesEverythingAndCallsOnDetachOnce) {
  plug();
  Recorder rec;
  auto ctl = makeController();
  auto d = ctl->ClaimDevice(0);
  d->SetOnDetach(rec.detachEvent());
  ASSERT_TRUE(sendVersion(*d));
  ASSERT_TRUE(d->OpenOverlapped(nuv::hid::TOpenMode::ReadMode));
  ASSERT_TRUE(d->OpenOverlapped(nuv::hid::TOpenMode::WriteMode));
  EXPECT_EQ(api_->openHandleCount(), 3u);
  d->Detach();
  d->Detach();
  EXPECT_EQ(rec.events.size(), 1u);
  EXPECT_FALSE(d->Present());
  EXPECT_FALSE(d->IsUsable());
  EXPECT_EQ(api_->openHandleCount(), 0u);
  EXPECT_FALSE(d->OpenSync());
  EXPECT_FALSE(d->OpenOverlapped(nuv::hid::TOpenMode::ReadMode));
}

TEST_F(DeviceTest, HandBackLeavesAFreshUnclaimedObjectInTheSameSlot) {
  plug();
  plug();
  plug();
  Recorder rec;
  auto ctl = makeController();
  auto d = ctl->ClaimDevice(1);
  d->SetOnReport(rec.reportEvent());
  d->SetOnDetach(rec.detachEvent());
  d->SetReadSlice(37);
  ASSERT_TRUE(d->ReaderRunning());
  const THidDevice* old = d.get();
  const std::string path = d->PnpRecord().DevicePath;
  d.reset();
  ASSERT_EQ(ctl->Devices().size(), 3u);
  THidDevice* fresh = ctl->Devices()[1];
  EXPECT_NE(fresh, nullptr);
  EXPECT_FALSE(fresh->Claimed());
  EXPECT_TRUE(fresh->Present());
  EXPECT_FALSE(fresh->ReaderRunning());
  EXPECT_EQ(fresh->PnpRecord().DevicePath, path);
  EXPECT_TRUE(fresh->OnReport().SameCode(rec.reportEvent()));
  EXPECT_EQ(fresh->OnReport().Data(), &rec);
  EXPECT_TRUE(fresh->OnDetach().SameCode(rec.detachEvent()));
  EXPECT_EQ(fresh->ReadSlice(), 37);
  (void)old;
  // It can be claimed again, and then reads.
  auto again = ctl->ClaimDevice(1);
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(again->ReaderRunning());
  again->SetOnReport(nullptr);
}

TEST_F(DeviceTest, HandBackOfADetachedObjectShortensTheList) {
  const std::string a = plug();
  plug();
  auto ctl = makeController();
  auto d = ctl->ClaimDevice(0);
  bus_.unplug(a);
  ASSERT_TRUE(pumpUntil([&] { return !d->Present(); }));
  EXPECT_EQ(ctl->Devices().size(), 2u) << "claimed: stays listed";
  d.reset();
  ASSERT_EQ(ctl->Devices().size(), 1u);
  EXPECT_NE(ctl->Devices()[0]->PnpRecord().DevicePath, a);
}

TEST_F(DeviceTest, HandBackOfAVanishedDeviceRemovesItsSlot) {
  const std::string a = plug();
  const std::string b = plug();
  auto ctl = makeController();
  auto d = ctl->ClaimDevice(0);
  // Gone, but no rescan has run yet: the replacement cannot be opened.
  api_->denyOpen(a);
  d.reset();
  ASSERT_EQ(ctl->Devices().size(), 1u);
  EXPECT_EQ(ctl->Devices()[0]->PnpRecord().DevicePath, b);
}

}  // namespace
}  // namespace winhid_test
