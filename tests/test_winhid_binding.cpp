// The run-time binding of hid.dll and setupapi.dll, and a controller without them.
#include <set>

#include "tests/winhid_fixture.h"

namespace winhid_test {
namespace {

TEST(HidBindingNames, ListsAreCompleteAndDistinct) {
  const auto hidNames = nuv::hid::Hid::Names();
  const auto setupNames = nuv::hid::SetupApi::Names();
  EXPECT_EQ(std::set<std::string>(hidNames.begin(), hidNames.end()).size(), 37u);
  EXPECT_EQ(std::set<std::string>(setupNames.begin(), setupNames.end()).size(), 271u);
  EXPECT_STREQ(hidNames.front(), "HidD_Hello");
  EXPECT_STREQ(hidNames.back(), "HidP_TranslateUsagesToI8042ScanCodes");
}

class BindingTest : public HidLayerTest {};

TEST_F(BindingTest, ControllerBindsAtCreationAndReleasesAtDestruction) {
  auto ctl = makeController();
  EXPECT_TRUE(process_->hid.IsBound());
  EXPECT_TRUE(process_->setupApi.IsBound());
  EXPECT_EQ(api_->loadedModuleCount(), 2);
  ctl.reset();
  EXPECT_FALSE(process_->hid.IsBound());
  EXPECT_FALSE(process_->setupApi.IsBound());
  EXPECT_EQ(api_->loadedModuleCount(), 0);
}

TEST_F(BindingTest, SetupApiIsCounted) {
  nuv::hid::SetupApi& setup = process_->setupApi;
  ASSERT_TRUE(setup.Bind());
  ASSERT_TRUE(setup.Bind());
  EXPECT_EQ(api_->loadedModuleCount(), 1) << "loaded once";
  setup.Release();
  EXPECT_TRUE(setup.IsBound());
  setup.Release();
  EXPECT_FALSE(setup.IsBound());
  EXPECT_EQ(api_->loadedModuleCount(), 0);
}

struct Lack {
  const char* what;
  nuv::winapi::EmulationOptions options;
  int modulesWhileAlive;
};

class MissingBindingTest : public HidLayerTest, public ::testing::WithParamInterface<Lack> {
 protected:
  MissingBindingTest() : HidLayerTest(GetParam().options) {}
};

TEST_P(MissingBindingTest, ControllerListsNothingAndWatchesNothing) {
  plug();
  Recorder rec;
  auto ctl = makeController();
  EXPECT_FALSE(process_->hid.IsBound());
  EXPECT_TRUE(ctl->Devices().empty());
  EXPECT_TRUE(ctl->HidGuid() == nuv::winapi::kHidInterfaceClass);
  EXPECT_EQ(api_->loadedModuleCount(), GetParam().modulesWhileAlive);
  ctl->SetOnArrival(rec.arrivalEvent());
  ctl->SetOnEnumerate(rec.enumerateEvent());
  plug();
  pumpFor(std::chrono::milliseconds(20));
  EXPECT_TRUE(rec.events.empty()) << "no hook, no rescan";
  EXPECT_EQ(ctl->WalkDevices(), 0);
  EXPECT_EQ(ctl->ClaimDevice(0), nullptr);
  ctl.reset();
  EXPECT_EQ(api_->loadedModuleCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Lacks, MissingBindingTest,
    ::testing::Values(Lack{"hid", {.missingLibraries = {"HID.DLL"}}, 1},
                      Lack{"setupapi", {.missingLibraries = {"setupapi.dll"}}, 0},
                      Lack{"hidname", {.missingNames = {"HidP_UsageListDifference"}}, 1},
                      Lack{"setupname", {.missingNames = {"SetupDiGetWizardPage"}}, 0}),
    [](const auto& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace winhid_test
