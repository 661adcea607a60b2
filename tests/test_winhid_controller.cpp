// The controller: scans, rescans and their reconciliation, walks, claims, property setters,
// destruction and the one-controller rule.
#include "tests/winhid_fixture.h"

namespace winhid_test {
namespace {

class ControllerTest : public HidLayerTest {
 protected:
  void wire(THidDeviceController& ctl, Recorder& rec) {
    ctl.SetOnArrival(rec.arrivalEvent());
    ctl.SetOnRemoval(rec.removalEvent());
    ctl.SetOnEnumerate(rec.enumerateEvent());
  }
  static std::vector<std::string> paths(const THidDeviceController& ctl) {
    std::vector<std::string> out;
    for (const THidDevice* d : ctl.Devices()) out.push_back(d->PnpRecord().DevicePath);
    return out;
  }
};

TEST_F(ControllerTest, ScanListsDevicesInTheSystemsOrder) {
  const std::string a = plug();
  const std::string b = plug({.vendorId = 0x1234});
  auto ctl = makeController();
  EXPECT_EQ(paths(*ctl), (std::vector<std::string>{a, b}));
  EXPECT_EQ(ctl->Version(), "1.0.22");
  ctl->SetVersion("9.9");
  EXPECT_EQ(ctl->Version(), "1.0.22");
  EXPECT_EQ(ctl->DevThreadSleepTime(), 100);
  EXPECT_FALSE(ctl->ChangeReported());
  EXPECT_TRUE(ctl->HidGuid() == nuv::winapi::kHidInterfaceClass);
}

TEST_F(ControllerTest, RescanOfTheSameDevicesChangesNothing) {
  plug();
  plug();
  Recorder rec;
  auto ctl = makeController();
  wire(*ctl, rec);
  const std::vector<THidDevice*> before = ctl->Devices();
  ctl->SetOnDeviceChange(rec.changeEvent());
  EXPECT_EQ(rec.changes, 1) << "the first assignment reports at once";
  EXPECT_TRUE(ctl->ChangeReported());
  ctl->DeviceChange();
  EXPECT_EQ(rec.changes, 1) << "nothing changed and the change was reported";
  EXPECT_EQ(ctl->Devices(), before) << "existing objects kept, duplicates destroyed";
  EXPECT_EQ(api_->openHandleCount(), 0u);
  EXPECT_EQ(rec.events, std::vector<std::string>{"change"});
}

TEST_F(ControllerTest, OnlyAnotherFunctionRescans) {
  plug();
  Recorder rec;
  Recorder other;
  auto ctl = makeController();
  ctl->SetOnDeviceChange(rec.changeEvent());
  plug();  // its notice stays unprocessed: only a rescan sees it
  ctl->SetOnDeviceChange(other.changeEvent());
  EXPECT_EQ(ctl->Devices().size(), 1u) << "same function of another receiver: equal, no rescan";
  EXPECT_EQ(rec.changes, 1);
  EXPECT_EQ(other.changes, 0);
  ctl->SetOnDeviceChange(nuv::hid::TNotifyEvent::of<&Recorder::OtherChange>(other));
  EXPECT_EQ(ctl->Devices().size(), 2u) << "a different function rescans at once";
  EXPECT_EQ(other.changes, 1);
  // Once reported, a rescan that changes nothing calls nobody, whoever is assigned.
  ctl->SetOnDeviceChange(rec.changeEvent());
  EXPECT_EQ(rec.changes, 1);
}

TEST_F(ControllerTest, UnplugOfAListedDeviceRemovesItsSlot) {
  const std::string a = plug();
  const std::string b = plug();
  const std::string c = plug();
  Recorder rec;
  auto ctl = makeController();
  wire(*ctl, rec);
  ctl->SetOnDeviceChange(rec.changeEvent());
  rec.events.clear();
  bool usableInRemoval = true;
  rec.onRemoval = [&](THidDevice& d) { usableInRemoval = d.IsUsable() || d.Present(); };
  bus_.unplug(b);
  ASSERT_TRUE(pumpUntil([&] { return rec.changes == 2; }));
  EXPECT_EQ(rec.events, (std::vector<std::string>{"removal " + b, "change"}));
  EXPECT_FALSE(usableInRemoval);
  EXPECT_EQ(paths(*ctl), (std::vector<std::string>{a, c}));
}

TEST_F(ControllerTest, UnplugOfAClaimedDeviceKeepsItListedAndReportsItEveryRescan) {
  const std::string a = plug();
  const std::string b = plug();
  Recorder rec;
  auto ctl = makeController();
  wire(*ctl, rec);
  ctl->SetOnDeviceUnplug(rec.detachEvent());
  ctl->SetOnDeviceChange(rec.changeEvent());
  auto claimed = ctl->ClaimDevice(0);
  rec.events.clear();
  bus_.unplug(a);
  ASSERT_TRUE(pumpUntil([&] { return rec.changes == 2; }));
  EXPECT_EQ(rec.events, (std::vector<std::string>{"detach " + a, "removal " + a, "change"}));
  EXPECT_EQ(paths(*ctl), (std::vector<std::string>{a, b}));
  EXPECT_FALSE(claimed->Present());
  rec.events.clear();
  ctl->DeviceChange();
  EXPECT_EQ(rec.events, (std::vector<std::string>{"removal " + a, "change"}));
  claimed.reset();
  EXPECT_EQ(paths(*ctl), std::vector<std::string>{b});
  rec.events.clear();
  ctl->DeviceChange();
  EXPECT_TRUE(rec.events.empty());
}

// The owner may drop a gone device as soon as it hears of it.
struct Dropper {
  std::vector<std::unique_ptr<THidDevice>> held;
  void Drop(THidDevice& d) {
    std::erase_if(held, [&](const auto& p) { return p.get() == &d; });
  }
};

TEST_F(ControllerTest, ClaimedDeviceHandedBackFromItsOwnDetachOrRemoval) {
  const std::string a = plug();
  const std::string b = plug();
  const std::string c = plug();
  Dropper dropper;
  Recorder rec;
  auto ctl = makeController();
  ctl->SetOnRemoval(nuv::hid::THidPlugEvent::of<&Dropper::Drop>(dropper));
  dropper.held.push_back(ctl->ClaimDevice(0));
  dropper.held.push_back(ctl->ClaimDevice(1));
  dropper.held.push_back(ctl->ClaimDevice(2));
  dropper.held[0]->SetOnDetach(nuv::hid::THidPlugEvent::of<&Dropper::Drop>(dropper));
  dropper.held[1]->SetOnReport(rec.reportEvent());
  bus_.unplug(a);
  bus_.unplug(b);
  ctl->DeviceChange();
  ASSERT_EQ(dropper.held.size(), 1u);
  EXPECT_EQ(paths(*ctl), std::vector<std::string>{c});
  dropper.held[0]->SetOnDetach(nuv::hid::THidPlugEvent::of<&Dropper::Drop>(dropper));
  ctl.reset();
  EXPECT_TRUE(dropper.held.empty());
  EXPECT_EQ(api_->openHandleCount(), 0u);
  EXPECT_EQ(api_->livePreparsedCount(), 0u);
}

TEST_F(ControllerTest, ArrivalsAreAppendedThenReported) {
  const std::string a = plug();
  Recorder rec;
  auto ctl = makeController();
  wire(*ctl, rec);
  ctl->SetOnDeviceChange(rec.changeEvent());
  rec.events.clear();
  bool lastInList = false;
  bool usableInArrival = false;
  rec.onArrival = [&](THidDevice& d) {
    lastInList = ctl->Devices().back() == &d;
    usableInArrival = d.IsUsable() && d.Capabilities().InputReportByteLength == 9;
  };
  const std::string b = plug();
  ASSERT_TRUE(pumpUntil([&] { return rec.changes == 2; }));
  EXPECT_EQ(rec.events, (std::vector<std::string>{"arrival " + b, "change"}));
  EXPECT_TRUE(lastInList);
  EXPECT_TRUE(usableInArrival) << "InCallback makes the object usable";
  EXPECT_FALSE(ctl->Devices().back()->InCallback());
  EXPECT_EQ(paths(*ctl), (std::vector<std::string>{a, b}));
  EXPECT_EQ(ctl->Devices().back()->ReadSlice(), 100);
}

TEST_F(ControllerTest, RemovalsFromTheEndThenArrivalsInScanOrderThenOneChange) {
  const std::string a = plug();
  const std::string b = plug();
  const std::string c = plug();
  Recorder rec;
  auto ctl = makeController();
  wire(*ctl, rec);
  ctl->SetOnDeviceChange(rec.changeEvent());
  rec.events.clear();
  api_->failDeviceInfoSet(true);  // hold the rescans until everything changed
  bus_.unplug(a);
  bus_.unplug(c);
  const std::string d = plug();
  const std::string e = plug();
  pumpFor(std::chrono::milliseconds(20));
  rec.events.clear();
  api_->failDeviceInfoSet(false);
  const int changesBefore = rec.changes;
  ctl->DeviceChange();
  // The failed scans removed everything: they count as all gone.
  EXPECT_EQ(rec.events,
            (std::vector<std::string>{"arrival " + b, "arrival " + d, "arrival " + e, "change"}));
  EXPECT_EQ(rec.changes, changesBefore + 1);
  EXPECT_EQ(paths(*ctl), (std::vector<std::string>{b, d, e}));
}

TEST_F(ControllerTest, RemovalOrderRunsFromTheLastSlot) {
  const std::string a = plug();
  const std::string b = plug();
  const std::string c = plug();
  Recorder rec;
  auto ctl = makeController();
  wire(*ctl, rec);
  ctl->SetOnDeviceChange(rec.changeEvent());
  rec.events.clear();
  bus_.unplug(a);
  bus_.unplug(c);
  const std::string d = plug();
  ctl->DeviceChange();
  EXPECT_EQ(rec.events,
            (std::vector<std::string>{"removal " + c, "removal " + a, "arrival " + d, "change"}));
  EXPECT_EQ(paths(*ctl), (std::vector<std::string>{b, d}));
}

TEST_F(ControllerTest, ReplugUnderTheSameInstanceIsKeptUnderANewOneReplaced) {
  const std::string a = plug({.path = "hid#a", .instanceId = 77});
  Recorder rec;
  auto ctl = makeController();
  wire(*ctl, rec);
  THidDevice* first = ctl->Devices()[0];
  auto device = bus_.device(a);
  bus_.unplug(a);
  ASSERT_TRUE(bus_.plug(device, {.path = "hid#a", .instanceId = 77}));
  rec.events.clear();
  ctl->DeviceChange();
  EXPECT_EQ(ctl->Devices()[0], first);
  EXPECT_TRUE(rec.events.empty());
  bus_.unplug(a);
  ASSERT_TRUE(bus_.plug(device, {.path = "hid#a", .instanceId = 78}));
  ctl->DeviceChange();
  EXPECT_EQ(rec.events, (std::vector<std::string>{"removal hid#a", "arrival hid#a"}));
  EXPECT_EQ(ctl->Devices()[0]->PnpRecord().DevInst, 78u);
}

TEST_F(ControllerTest, UnreadableInterfaceDetailIsSkipped) {
  const std::string a = plug();
  const std::string b = plug();
  const std::string c = plug();
  api_->failInterfaceDetail(b);
  auto ctl = makeController();
  EXPECT_EQ(paths(*ctl), (std::vector<std::string>{a, c}));
}

TEST_F(ControllerTest, WalkWithoutHandlerStopsAtTheFirstPresentDevice) {
  auto empty = makeController();
  EXPECT_EQ(empty->WalkDevices(), 0);
  empty.reset();
  plug();
  plug();
  auto ctl = makeController();
  EXPECT_EQ(ctl->WalkDevices(), 1);
}

TEST_F(ControllerTest, WalkCountsPresentDevicesAndSkipsTheIndexesOfGoneOnes) {
  const std::string a = plug();
  plug();
  const std::string c = plug();
  Recorder rec;
  auto ctl = makeController();
  wire(*ctl, rec);
  auto claimedA = ctl->ClaimDevice(0);
  auto claimedC = ctl->ClaimDevice(2);
  bus_.unplug(a);
  ctl->DeviceChange();
  rec.events.clear();
  EXPECT_EQ(ctl->WalkDevices(), 2);
  EXPECT_EQ(rec.events, (std::vector<std::string>{"enumerate 1", "enumerate 2"}));
  rec.onEnumerate = [](THidDevice&, std::int32_t) { return false; };
  rec.events.clear();
  EXPECT_EQ(ctl->WalkDevices(), 1);
  EXPECT_EQ(rec.events, std::vector<std::string>{"enumerate 1"});
  (void)c;
}

TEST_F(ControllerTest, ClaimOnlyOnceAndOnlyInRange) {
  plug();
  plug();
  auto ctl = makeController();
  EXPECT_EQ(ctl->ClaimDevice(-1), nullptr);
  EXPECT_EQ(ctl->ClaimDevice(2), nullptr);
  auto d = ctl->ClaimDevice(1);
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(d->Claimed());
  EXPECT_EQ(ctl->ClaimDevice(1), nullptr);
}

TEST_F(ControllerTest, VisitClosesHandlesOfUnclaimedDevicesOnly) {
  plug();
  plug();
  Recorder rec;
  auto ctl = makeController();
  wire(*ctl, rec);
  std::vector<std::unique_ptr<THidDevice>> kept;
  rec.onEnumerate = [&](THidDevice& d, std::int32_t idx) {
    EXPECT_TRUE(d.OpenSync()) << "usable inside the visit";
    if (idx == 0) kept.push_back(ctl->ClaimDevice(idx));
    return true;
  };
  EXPECT_EQ(ctl->WalkDevices(), 2);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(api_->openHandleCount(), 1u) << "the claimed device keeps what it opened";
  EXPECT_FALSE(ctl->Devices()[1]->InCallback());
}

TEST_F(ControllerTest, SleepTimeReachesDevicesOnTheOldValueWithinBounds) {
  plug();
  plug();
  auto ctl = makeController();
  ctl->Devices()[1]->SetReadSlice(50);
  ctl->SetDevThreadSleepTime(200);
  EXPECT_EQ(ctl->Devices()[0]->ReadSlice(), 200);
  EXPECT_EQ(ctl->Devices()[1]->ReadSlice(), 50);
  ctl->SetDevThreadSleepTime(5);
  EXPECT_EQ(ctl->DevThreadSleepTime(), 5);
  EXPECT_EQ(ctl->Devices()[0]->ReadSlice(), 200) << "5 is out of range for a device";
  plug();
  ctl->DeviceChange();
  EXPECT_EQ(ctl->Devices()[2]->ReadSlice(), 100);
}

TEST_F(ControllerTest, HandlerSettersPassOnToDevicesWithTheOldFunction) {
  plug();
  plug();
  Recorder rec;
  Recorder own;
  auto ctl = makeController();
  ctl->Devices()[1]->SetOnReadError(own.errorEvent());
  ctl->SetOnDeviceDataError(rec.errorEvent());
  ctl->SetOnDeviceUnplug(rec.detachEvent());
  EXPECT_TRUE(ctl->Devices()[0]->OnReadError().SameCode(rec.errorEvent()));
  EXPECT_EQ(ctl->Devices()[1]->OnReadError().Data(), &own);
  EXPECT_TRUE(ctl->Devices()[0]->OnDetach().SameCode(rec.detachEvent()));
  plug();
  ctl->DeviceChange();
  EXPECT_TRUE(ctl->Devices()[2]->OnDetach().SameCode(rec.detachEvent()));
}

TEST_F(ControllerTest, DestroyedWhileDevicesAreClaimed) {
  const std::string a = plug();
  plug();
  Recorder rec;
  auto ctl = makeController();
  auto claimed = ctl->ClaimDevice(0);
  claimed->SetOnDetach(rec.detachEvent());
  ASSERT_TRUE(sendVersion(*claimed));
  ctl.reset();
  EXPECT_FALSE(claimed->Present());
  EXPECT_EQ(claimed->Controller(), nullptr);
  EXPECT_EQ(rec.events, std::vector<std::string>{"detach " + a});
  EXPECT_FALSE(sendVersion(*claimed));
  EXPECT_EQ(api_->loadedModuleCount(), 0) << "bindings released";
  claimed.reset();
  EXPECT_EQ(api_->openHandleCount(), 0u);
  EXPECT_EQ(process_->ControllerCount, 0);
}

TEST_F(ControllerTest, OnlyOneControllerPerProcess) {
  plug();
  auto first = makeController();
  try {
    auto second = makeController();
    FAIL() << "a second controller was made";
  } catch (const nuv::hid::EControllerError& e) {
    EXPECT_STREQ(e.what(), "Only one THidDeviceController allowed per program");
  }
  EXPECT_EQ(process_->ControllerCount, 1);
  EXPECT_TRUE(process_->hid.IsBound());
  EXPECT_EQ(process_->setupApi.UseCount(), 1);
  Recorder rec;
  first->SetOnArrival(rec.arrivalEvent());
  plug();
  ASSERT_TRUE(pumpUntil([&] { return first->Devices().size() == 2; })) << "still watching";
  first.reset();
  EXPECT_NO_THROW(makeController()) << "allowed again once the first is gone";
}

TEST_F(ControllerTest, PlugNoticesReachTheControllerThroughTheMainWindow) {
  Recorder rec;
  auto ctl = makeController();
  wire(*ctl, rec);
  const std::string a = plug();
  gui_.postMainWindowMessage({nuv::forms::kWmDeviceChange, 0x8000, 0});  // other notices: ignored
  ASSERT_TRUE(pumpUntil([&] { return ctl->Devices().size() == 1; }));
  EXPECT_EQ(rec.events, std::vector<std::string>{"arrival " + a});
}

TEST_F(ControllerTest, NoticesDuringAReaderStopArePutOffNotNested) {
  plug();
  Recorder rec;
  auto ctl = makeController();
  wire(*ctl, rec);
  std::vector<std::unique_ptr<THidDevice>> held;
  int depth = 0;
  int deepest = 0;
  // The window's handler: hand back what it holds (stopping readers, which processes
  // messages), then walk and claim again, switching input on.
  rec.onChange = [&](THidDeviceController& c) {
    deepest = std::max(deepest, ++depth);
    held.clear();
    rec.onEnumerate = [&](THidDevice&, std::int32_t idx) {
      held.push_back(c.ClaimDevice(idx));
      held.back()->SetReadSlice(10);
      held.back()->SetOnReport(rec.reportEvent());
      return true;
    };
    (void)c.WalkDevices();
    --depth;
  };
  ctl->SetOnDeviceChange(rec.changeEvent());
  ASSERT_EQ(held.size(), 1u);
  for (int i = 0; i < 5; ++i) {
    plug();
    gui_.postMainWindowMessage({nuv::forms::kWmDeviceChange, nuv::forms::kDbtDevNodesChanged, 0});
  }
  ASSERT_TRUE(pumpUntil([&] { return held.size() == 6; }));
  pumpFor(std::chrono::milliseconds(30));
  EXPECT_EQ(deepest, 1);
  EXPECT_EQ(ctl->Devices().size(), 6u);
  held.clear();
}

}  // namespace
}  // namespace winhid_test
