// Reader threads: what reaches the handlers, when a reader runs, and its hand-over with the GUI
// thread under stops, unplugs and destruction (run these under TSan).
#include <thread>

#include "tests/winhid_fixture.h"

namespace winhid_test {
namespace {

class ReaderTest : public HidLayerTest {
 protected:
  // A claimed device with a fast reader slice.
  std::unique_ptr<THidDevice> claimFirst(THidDeviceController& ctl, std::int32_t slice = 10) {
    auto d = ctl.ClaimDevice(0);
    EXPECT_NE(d, nullptr);
    if (d) d->SetReadSlice(slice);
    return d;
  }
};

TEST_F(ReaderTest, ReportReachesOnReportAsIdRestAndCount) {
  plug({.inputReportLength = 9, .usesReportIds = true});
  Recorder rec;
  auto ctl = makeController();
  auto d = claimFirst(*ctl);
  d->SetOnReport(rec.reportEvent());
  ASSERT_TRUE(sendVersion(*d));
  ASSERT_TRUE(pumpUntil([&] { return !rec.reports.empty(); }));
  const auto& r = rec.reports[0];
  EXPECT_EQ(r.device, d.get());
  EXPECT_EQ(r.id, nuv::sim::kInputReportId);
  EXPECT_EQ(r.size, 8);
  ASSERT_EQ(r.data.size(), 8u);
  EXPECT_EQ(r.data[0], kCmdVersion);
  EXPECT_EQ(r.data[3], '1');
  d->SetOnReport(nullptr);
}

TEST_F(ReaderTest, ReportIdZeroAndLongReportsArePassedAsRead) {
  plug({.inputReportLength = 65});
  Recorder rec;
  auto ctl = makeController();
  auto d = claimFirst(*ctl);
  d->SetOnReport(rec.reportEvent());
  ASSERT_TRUE(sendVersion(*d));
  ASSERT_TRUE(pumpUntil([&] { return !rec.reports.empty(); }));
  EXPECT_EQ(rec.reports[0].id, 0);
  EXPECT_EQ(rec.reports[0].size, 64);
  EXPECT_EQ(rec.reports[0].data[0], kCmdVersion);
  d->SetOnReport(nullptr);
}

TEST_F(ReaderTest, ZeroByteReadsAreDroppedSilently) {
  const std::string path = plug();
  Recorder rec;
  auto ctl = makeController();
  auto d = claimFirst(*ctl);
  d->SetOnReadError(rec.errorEvent());
  api_->completeReadsEmpty(path, 1000000);
  const auto start = std::chrono::steady_clock::now();
  d->SetOnReport(rec.reportEvent());
  pumpFor(std::chrono::milliseconds(50));
  const int emptyReads = 1000000 - api_->emptyReadsLeft(path);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  api_->completeReadsEmpty(path, 0);
  ASSERT_TRUE(sendVersion(*d));
  ASSERT_TRUE(pumpUntil([&] { return !rec.reports.empty(); }));
  pumpFor(std::chrono::milliseconds(30));
  EXPECT_EQ(rec.reports.size(), 1u);
  EXPECT_TRUE(rec.readErrors.empty());
  d->SetOnReport(nullptr);
  // Empty reads finishing at once do not spin the reader: two per slice at most.
  EXPECT_GT(emptyReads, 0);
  EXPECT_LE(emptyReads, static_cast<int>(2 * (elapsed.count() / 10 + 2)));
}

TEST_F(ReaderTest, ReaderRunsOnlyForClaimedReadWriteDevices) {
  plug();
  Recorder rec;
  auto ctl = makeController();
  THidDevice& listed = *ctl->Devices()[0];
  listed.SetOnReport(rec.reportEvent());
  EXPECT_FALSE(listed.ReaderRunning()) << "not claimed";
  auto d = ctl->ClaimDevice(0);
  EXPECT_TRUE(d->ReaderRunning()) << "claiming starts it when the handler is set";
  d->SetOnReport(nullptr);
  EXPECT_FALSE(d->ReaderRunning());
}

TEST_F(ReaderTest, AnotherHandlerKeepsTheReaderAndGetsTheNextReport) {
  plug();
  Recorder rec;
  auto ctl = makeController();
  auto d = claimFirst(*ctl);
  d->SetOnReport(rec.reportEvent());
  const nuv::hid::THidDeviceReadThread* reader = d->Reader();
  ASSERT_NE(reader, nullptr);
  d->SetOnReport(nuv::hid::THidDataEvent::of<&Recorder::OtherReport>(rec));
  EXPECT_EQ(d->Reader(), reader);
  ASSERT_TRUE(sendVersion(*d));
  ASSERT_TRUE(pumpUntil([&] { return !rec.reports.empty(); }));
  EXPECT_EQ(rec.events, std::vector<std::string>{"other-report"});
  d->SetOnReport(nullptr);
}

TEST_F(ReaderTest, StopRunsTheHandOverTheReaderIsBlockedIn) {
  plug();
  Recorder rec;
  auto ctl = makeController();
  auto d = claimFirst(*ctl);
  d->SetOnReport(rec.reportEvent());
  ASSERT_TRUE(sendVersion(*d));
  // Not processing messages: the reader reads the reply and waits in its hand-over.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  d->SetOnReport(nullptr);
  EXPECT_FALSE(d->ReaderRunning());
  EXPECT_EQ(rec.reports.size(), 1u) << "delivered during the stop, to the old handler";
  pumpFor(std::chrono::milliseconds(20));
  EXPECT_EQ(rec.reports.size(), 1u);
}

TEST_F(ReaderTest, StopRunsOnlyHandOversNotPostedMessages) {
  plug();
  Recorder rec;
  auto ctl = makeController();
  ctl->SetOnArrival(rec.arrivalEvent());
  auto d = claimFirst(*ctl);
  d->SetOnReport(rec.reportEvent());
  ASSERT_TRUE(sendVersion(*d));
  plug();  // its device-change notice is now pending
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  d->SetOnReport(nullptr);
  EXPECT_EQ(rec.reports.size(), 1u) << "the reader's hand-over ran";
  EXPECT_TRUE(rec.events.empty()) << "no rescan under the stop";
  gui_.processMessages();
  EXPECT_EQ(rec.events.size(), 1u);
}

// A handler that switches input off (and maybe on again) for its own device.
struct SelfSwitcher {
  std::unique_ptr<THidDevice>* device = nullptr;
  bool switchOnAgain = false;
  int reports = 0;
  void Report(THidDevice& d, std::uint8_t, const std::uint8_t*, std::uint16_t) {
    ++reports;
    d.SetOnReport(nullptr);
    EXPECT_FALSE(d.ReaderRunning());
    if (switchOnAgain) d.SetOnReport(nuv::hid::THidDataEvent::of<&SelfSwitcher::Report>(*this));
  }
};

TEST_F(ReaderTest, InputSwitchedOffFromItsOwnHandlerEndsAfterTheHandler) {
  plug();
  auto ctl = makeController();
  auto d = claimFirst(*ctl);
  SelfSwitcher switcher;
  d->SetOnReport(nuv::hid::THidDataEvent::of<&SelfSwitcher::Report>(switcher));
  ASSERT_TRUE(sendVersion(*d));
  ASSERT_TRUE(pumpUntil([&] { return switcher.reports == 1; }));
  EXPECT_FALSE(d->ReaderRunning());
  ASSERT_TRUE(sendVersion(*d));
  pumpFor(std::chrono::milliseconds(30));
  EXPECT_EQ(switcher.reports, 1) << "input is off";
  // Switched on again later: the ended reader is reaped and a new one reads.
  Recorder rec;
  d->SetOnReport(rec.reportEvent());
  EXPECT_TRUE(d->ReaderRunning());
  ASSERT_TRUE(sendVersion(*d));
  ASSERT_TRUE(pumpUntil([&] { return !rec.reports.empty(); }));
  d.reset();
  EXPECT_EQ(api_->openHandleCount(), 0u);
}

TEST_F(ReaderTest, InputSwitchedOffAndOnInsideItsOwnHandlerKeepsReading) {
  plug();
  auto ctl = makeController();
  auto d = claimFirst(*ctl);
  SelfSwitcher switcher;
  switcher.switchOnAgain = true;
  d->SetOnReport(nuv::hid::THidDataEvent::of<&SelfSwitcher::Report>(switcher));
  for (int i = 1; i <= 3; ++i) {
    ASSERT_TRUE(sendVersion(*d));
    ASSERT_TRUE(pumpUntil([&] { return switcher.reports == i; }));
    EXPECT_TRUE(d->ReaderRunning());
  }
  d.reset();
}

TEST_F(ReaderTest, FailedReadStartsReachOnReadErrorPaced) {
  const std::string path = plug();
  Recorder rec;
  auto ctl = makeController();
  auto d = claimFirst(*ctl, 50);
  d->SetOnReadError(rec.errorEvent());
  api_->failReadStarts(path, true);
  const auto start = std::chrono::steady_clock::now();
  d->SetOnReport(rec.reportEvent());
  ASSERT_TRUE(pumpUntil([&] { return rec.readErrors.size() >= 2; }));
  pumpFor(std::chrono::milliseconds(100));
  d->SetOnReport(nullptr);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  // One failed start per slice at most: a slow machine only makes fewer.
  EXPECT_LE(rec.readErrors.size(), static_cast<std::size_t>(elapsed.count() / 50 + 2));
  for (std::uint32_t error : rec.readErrors) EXPECT_EQ(error, nuv::winapi::kErrorGenFailure);
  // Reads work again once starts succeed.
  api_->failReadStarts(path, false);
  d->SetOnReport(rec.reportEvent());
  ASSERT_TRUE(sendVersion(*d));
  ASSERT_TRUE(pumpUntil([&] { return !rec.reports.empty(); }));
  d->SetOnReport(nullptr);
}

TEST_F(ReaderTest, NoInputReportLengthIsReportedOnceAsAReadError) {
  plug({.inputReportLength = 0});
  Recorder rec;
  auto ctl = makeController();
  auto d = claimFirst(*ctl);
  d->SetOnReadError(rec.errorEvent());
  d->SetOnReport(rec.reportEvent());
  ASSERT_TRUE(pumpUntil([&] { return !rec.readErrors.empty(); }));
  pumpFor(std::chrono::milliseconds(100));
  EXPECT_EQ(rec.readErrors, std::vector<std::uint32_t>{nuv::winapi::kErrorInvalidUserBuffer});
  EXPECT_TRUE(rec.reports.empty());
  d->SetOnReport(nullptr);
}

class UnnoticedReaderTest : public HidLayerTest {
 protected:
  UnnoticedReaderTest() : HidLayerTest({}, false) {}
};

TEST_F(UnnoticedReaderTest, UnplugDuringAPendingReadEndsItAndReportsStartFailures) {
  const std::string path = plug();
  Recorder rec;
  auto ctl = makeController();
  auto d = ctl->ClaimDevice(0);
  d->SetReadSlice(10);
  d->SetOnReadError(rec.errorEvent());
  d->SetOnReport(rec.reportEvent());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the read is pending
  bus_.unplug(path);
  // The pending read ends and is dropped; every start then fails with the system's error.
  ASSERT_TRUE(pumpUntil([&] { return rec.readErrors.size() >= 2; }));
  EXPECT_TRUE(rec.reports.empty());
  // Once a rescan detached the object, starts fail without a system call, with the error the
  // thread's last failing call left.
  ctl->DeviceChange();
  EXPECT_FALSE(d->Present());
  const std::size_t before = rec.readErrors.size();
  ASSERT_TRUE(pumpUntil([&] { return rec.readErrors.size() >= before + 2; }));
  for (std::uint32_t error : rec.readErrors)
    EXPECT_EQ(error, nuv::winapi::kErrorDeviceNotConnected);
  d->SetOnReport(nullptr);
  EXPECT_FALSE(d->ReaderRunning());
  EXPECT_EQ(api_->openHandleCount(), 0u);
}

TEST_F(ReaderTest, DetachWhileTheReaderWaitsClosesTheReadSafely) {
  plug();
  Recorder rec;
  auto ctl = makeController();
  auto d = claimFirst(*ctl);
  d->SetOnReadError(rec.errorEvent());
  d->SetOnReport(rec.reportEvent());
  for (int i = 0; i < 20; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (i == 10) d->Detach();  // closes the read handle under the waiting reader
  }
  ASSERT_TRUE(pumpUntil([&] { return !rec.readErrors.empty(); }));
  d->SetOnReport(nullptr);
  EXPECT_EQ(api_->openHandleCount(), 0u);
}

TEST_F(ReaderTest, DestroyWithAPendingReadReturnsAndLeavesNoHandle) {
  plug();
  Recorder rec;
  auto ctl = makeController();
  for (int i = 0; i < 20; ++i) {
    auto d = claimFirst(*ctl);
    ASSERT_NE(d, nullptr);
    d->SetOnReport(rec.reportEvent());
    std::this_thread::sleep_for(std::chrono::milliseconds(i % 3));
    d.reset();
    EXPECT_EQ(api_->openHandleCount(), 0u);
  }
}

TEST_F(ReaderTest, HundredsOfStartStopCyclesWhileReportsFlow) {
  plug();
  Recorder rec;
  auto ctl = makeController();
  auto d = claimFirst(*ctl);
  int sent = 0;
  for (int i = 0; i < 300; ++i) {
    d->SetOnReport(rec.reportEvent());
    if (i % 3 == 0 && sendVersion(*d)) ++sent;
    if (i % 7 == 0) gui_.processMessages();
    d->SetOnReport(nullptr);
  }
  EXPECT_EQ(sent, 100);
  EXPECT_FALSE(d->ReaderRunning());
  EXPECT_LE(rec.reports.size(), 100u);
  for (const auto& r : rec.reports) EXPECT_EQ(r.data[0], kCmdVersion);
}

TEST_F(ReaderTest, ReadersOfTwoDevicesDeliverOnTheGuiThreadOneAtATime) {
  plug();
  plug();
  auto ctl = makeController();
  auto a = ctl->ClaimDevice(0);
  auto b = ctl->ClaimDevice(1);
  Recorder rec;
  a->SetOnReport(rec.reportEvent());
  b->SetOnReport(rec.reportEvent());
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(sendVersion(*a));
    ASSERT_TRUE(sendVersion(*b));
    const std::size_t want = 2u * static_cast<std::size_t>(i + 1);
    ASSERT_TRUE(pumpUntil([&] { return rec.reports.size() >= want; }));
  }
  EXPECT_EQ(rec.reports.size(), 100u);
  a.reset();
  b.reset();
}

TEST_F(ReaderTest, ControllerGoneWhileAReaderRunsStopsIt) {
  plug();
  Recorder rec;
  auto ctl = makeController();
  auto d = claimFirst(*ctl);
  d->SetOnReport(rec.reportEvent());
  ASSERT_TRUE(sendVersion(*d));
  ctl.reset();
  EXPECT_FALSE(d->ReaderRunning());
  EXPECT_FALSE(d->Present());
  d->SetOnReport(rec.reportEvent());
  EXPECT_FALSE(d->ReaderRunning()) << "never restarted once detached";
  d.reset();
  EXPECT_EQ(api_->livePreparsedCount(), 0u);
  EXPECT_EQ(api_->openHandleCount(), 0u);
}

TEST_F(ReaderTest, ControllerDataHandlerReachesDevicesThatUseTheOldOne) {
  plug();
  plug();
  Recorder rec;
  auto ctl = makeController();
  ctl->SetOnDeviceData(rec.reportEvent());
  auto a = ctl->ClaimDevice(0);
  EXPECT_TRUE(a->ReaderRunning()) << "new objects get the controller's handler";
  Recorder other;
  const auto otherFunction = nuv::hid::THidDataEvent::of<&Recorder::OtherReport>(other);
  ctl->Devices()[1]->SetOnReport(otherFunction);
  THidDevice& unclaimed = *ctl->Devices()[1];
  ctl->SetOnDeviceData(nullptr);
  EXPECT_FALSE(a->ReaderRunning());
  EXPECT_FALSE(a->OnReport());
  EXPECT_TRUE(unclaimed.OnReport().SameCode(otherFunction)) << "its own function is kept";
  // Functions are compared, not receivers: the same method of another receiver is replaced.
  unclaimed.SetOnReport(other.reportEvent());
  ctl->SetOnDeviceData(rec.reportEvent());
  ctl->SetOnDeviceData(nuv::hid::THidDataEvent::of<&Recorder::OtherReport>(rec));
  EXPECT_EQ(unclaimed.OnReport().Data(), &rec);
}

}  // namespace
}  // namespace winhid_test
