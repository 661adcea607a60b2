// Launch, the window's first look, device discovery, arrival, removal and replacement.
#include "tests/mac_fixture.h"

namespace mactest {
namespace {

using nuv::mac::HIDStatusIdle;

TEST_F(MacFixture, StartedWithoutDeviceShowsIdleUntilOneArrives) {
  launch();
  EXPECT_EQ(statusText(), "idle");
  EXPECT_EQ(ctrl().currentDevice(), nullptr);
  EXPECT_FALSE(nib().downloadButton.isEnabled());
  EXPECT_FALSE(nib().stopButton.isEnabled());
  EXPECT_FALSE(nib().versionButton.isEnabled());
  EXPECT_TRUE(nib().progressIndicator.isHidden());
  EXPECT_TRUE(log.has("success"));
  EXPECT_TRUE(log.has("tIOReturn = 0"));
  EXPECT_TRUE(log.has("cnt = 0"));

  plug();
  EXPECT_EQ(statusText(), "Ready");
  EXPECT_NE(ctrl().currentDevice(), nullptr);
  EXPECT_TRUE(nib().downloadButton.isEnabled());
  EXPECT_TRUE(nib().versionButton.isEnabled());
  EXPECT_FALSE(nib().stopButton.isEnabled());
  EXPECT_EQ(log.count("IOHIDDeviceCallbackProc device: " +
                      std::to_string(static_cast<int>(static_cast<std::uint32_t>(
                          reinterpret_cast<std::uintptr_t>(ctrl().currentDevice()))))),
            1);
}

TEST_F(MacFixture, StartedWithDeviceReadyFromCountThenFromMatch) {
  (void)bus.plug();
  launchOnly();
  // "Ready" from the count at set-up; the device is not current before the match arrives.
  EXPECT_TRUE(log.has("cnt = 1"));
  EXPECT_EQ(statusText(), "Ready");
  EXPECT_EQ(ctrl().currentDevice(), nullptr);
  EXPECT_FALSE(nib().downloadButton.isEnabled());
  loop().runUntilIdle();
  EXPECT_EQ(statusHistory(), std::vector<std::string>{"Ready"});
  EXPECT_NE(ctrl().currentDevice(), nullptr);
  EXPECT_TRUE(nib().downloadButton.isEnabled());
  EXPECT_TRUE(nib().versionButton.isEnabled());
  EXPECT_FALSE(nib().stopButton.isEnabled());
  EXPECT_EQ(state(), HIDStatusIdle);
}

TEST_F(MacFixture, WindowTitleAndPercentageLabelGeometry) {
  launch();
  EXPECT_EQ(app.mainWindow().title(), "www.example.com V1.01");
  EXPECT_EQ(app.mainWindow().contentView(), &nib().view);
  auto& label = percentage();
  const auto bar = nib().progressIndicator.frame();
  EXPECT_EQ(label.frame(), (nuv::cocoa::Rect{0, 0, bar.width, bar.height}));
  EXPECT_EQ(label.superview(), &nib().progressIndicator);
  EXPECT_FALSE(label.drawsBackground());
  EXPECT_EQ(label.alignment(), nuv::cocoa::TextAlignment::Center);
  EXPECT_TRUE(label.isHiddenOrHasHiddenAncestor());  // hidden with the bar
  EXPECT_EQ(nib().progressIndicator.minValue(), 0.0);
  EXPECT_EQ(nib().progressIndicator.maxValue(), 1.0);
}

TEST_F(MacFixture, OnlyTheUpdateDeviceIsReported) {
  launch();
  nuv::sim::DeviceInfo other;
  other.productId = 0x0101;
  plug({}, other);
  nuv::sim::DeviceInfo otherVendor;
  otherVendor.vendorId = 0x1234;
  plug({}, otherVendor);
  EXPECT_EQ(ctrl().currentDevice(), nullptr);
  EXPECT_EQ(statusText(), "idle");
  EXPECT_FALSE(nib().downloadButton.isEnabled());
}

TEST_F(MacFixture, RemovingAnyMatchingDeviceLeavesNoneCurrent) {
  launch();
  nuv::sim::DeviceInfo first, second;
  first.path = "sim:first";
  second.path = "sim:second";
  plug({}, first);
  plug({}, second);
  auto* current = ctrl().currentDevice();
  ASSERT_NE(current, nullptr);
  // The first device is not the current one; its going still counts as the loss.
  ASSERT_TRUE(bus.unplug("sim:first"));
  loop().runUntilIdle();
  EXPECT_EQ(ctrl().currentDevice(), nullptr);
  EXPECT_EQ(statusText(), "idle");
  EXPECT_EQ(state(), HIDStatusIdle);
  EXPECT_FALSE(nib().downloadButton.isEnabled());
  EXPECT_FALSE(nib().stopButton.isEnabled());
  EXPECT_FALSE(nib().versionButton.isEnabled());
}

TEST_F(MacFixture, CurrentDeviceReportedAgainIsReopenedAndKeepsState) {
  auto device = bus.plug();
  launch();
  ASSERT_TRUE(nib().versionButton.click());
  ASSERT_EQ(state(), nuv::mac::HIDStatusResetting);
  nib().statusTextField.setStringValue("something else");
  ctrl().didMatchDevice(ctrl().currentDevice());
  EXPECT_EQ(statusText(), "Ready");
  EXPECT_EQ(state(), nuv::mac::HIDStatusResetting);
  // Still registered once: one Version reply gives one text.
  loop().advance(1s);
  EXPECT_EQ(statusText(), "Version: 1.01");
}

TEST_F(MacFixture, ViewWithoutInterfaceFileDoesNotCrash) {
  nuv::mac::HIDViewController controller("NoSuchNib", app,
                                         [this] { return nuv::iohid::createSimHIDManager(bus); });
  EXPECT_EQ(controller.view(), nullptr);
  controller.decideButtonState();
  EXPECT_TRUE(log.has("The interface file \"NoSuchNib\" is missing or incomplete"));
}

TEST_F(MacFixture, TeardownWithPendingStepsAndOpenDevice) {
  (void)bus.plug();
  launch();
  ASSERT_TRUE(startDownload(validImage()));
  loop().advance(600ms);  // linked, formatted, waiting to write
  ASSERT_EQ(state(), nuv::mac::HIDStatusWriting);
  delegate.reset();
  // The 4-second step comes due after the controller is gone: nothing happens.
  loop().advance(10s);
  EXPECT_EQ(writes(*bus.device(bus.devices().front().path)), 0u);
}

}  // namespace
}  // namespace mactest
