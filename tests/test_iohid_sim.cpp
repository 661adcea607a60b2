// The sim backend of the HID manager: matching, arrival and removal, report framing both
// ways, failures of sends, and replies that come later on the shared clock.
#include <gtest/gtest.h>

#include <vector>

#include "platform/cocoa/Headless.h"
#include "platform/iohid/Sim.h"
#include "protocol/HIDProto.h"

namespace {

using namespace std::chrono_literals;
using namespace nuv::iohid;

struct Events {
  std::vector<IOHIDDeviceRef> matched, removed;
  std::vector<std::vector<std::uint8_t>> reports;
  std::vector<std::uint32_t> reportIds;
  static void onMatch(void* c, IOReturn, void*, IOHIDDeviceRef d) {
    static_cast<Events*>(c)->matched.push_back(d);
  }
  static void onRemove(void* c, IOReturn, void*, IOHIDDeviceRef d) {
    static_cast<Events*>(c)->removed.push_back(d);
  }
  static void onReport(void* c, IOReturn, void*, IOHIDReportType, std::uint32_t id,
                       std::uint8_t* bytes, long length) {
    auto* e = static_cast<Events*>(c);
    e->reports.emplace_back(bytes, bytes + length);
    e->reportIds.push_back(id);
  }
};

class IOHIDSim : public ::testing::Test {
 protected:
  IOHIDSim() : bus(loop.clock()), manager(createSimHIDManager(bus)) {
    loop.setClockMovedHook([this] { bus.timeAdvanced(); });
  }
  void openManager() {
    manager->setDeviceMatching({{kIOHIDVendorIDKey, 0xFFFF}, {kIOHIDProductIDKey, 0x0100}});
    manager->registerDeviceMatchingCallback(&Events::onMatch, &events);
    manager->registerDeviceRemovalCallback(&Events::onRemove, &events);
    manager->scheduleWithRunLoop(loop);
    ASSERT_EQ(manager->open(kIOHIDOptionsTypeNone), kIOReturnSuccess);
  }
  IOHIDDeviceRef openFirst() {
    loop.runUntilIdle();
    EXPECT_FALSE(events.matched.empty());
    if (events.matched.empty()) return nullptr;
    IOHIDDeviceRef d = events.matched.front();
    EXPECT_EQ(manager->deviceOpen(d, 0), kIOReturnSuccess);
    manager->deviceRegisterInputReportCallback(d, buffer, sizeof buffer, &Events::onReport,
                                               &events);
    return d;
  }
  IOReturn sendLink(IOHIDDeviceRef d) {
    std::uint8_t report[8] = {};
    (void)HostGenerateLinkCommand(report, 8);
    return manager->deviceSetReport(d, kIOHIDReportTypeOutput, kCmdLink, report, 8);
  }

  nuv::cocoa::HeadlessRunLoop loop;
  nuv::sim::VirtualBus bus;
  Events events;
  std::uint8_t buffer[1024] = {};
  std::unique_ptr<IOHIDManager> manager;
};

TEST_F(IOHIDSim, PresentDevicesAreReportedFromTheLoopAfterOpen) {
  (void)bus.plug();
  EXPECT_FALSE(manager->copyDevices().has_value());  // not open yet
  openManager();
  EXPECT_TRUE(events.matched.empty());  // not inside open
  const auto present = manager->copyDevices();
  ASSERT_TRUE(present.has_value());
  EXPECT_EQ(present->size(), 1u);
  loop.runUntilIdle();
  ASSERT_EQ(events.matched.size(), 1u);
  EXPECT_EQ(events.matched.front(), present->front());
}

TEST_F(IOHIDSim, MatchingIsOnVendorAndProduct) {
  openManager();
  nuv::sim::DeviceInfo otherProduct, otherVendor;
  otherProduct.productId = 0x0200;
  otherVendor.vendorId = 0x1111;
  (void)bus.plug(otherProduct);
  (void)bus.plug(otherVendor);
  loop.runUntilIdle();
  EXPECT_TRUE(events.matched.empty());
  (void)bus.plug();
  loop.runUntilIdle();
  EXPECT_EQ(events.matched.size(), 1u);
  EXPECT_EQ(manager->copyDevices()->size(), 1u);
}

TEST_F(IOHIDSim, WithoutMatchingNothingIsReported) {
  (void)bus.plug();
  manager->registerDeviceMatchingCallback(&Events::onMatch, &events);
  manager->scheduleWithRunLoop(loop);
  ASSERT_EQ(manager->open(0), kIOReturnSuccess);
  loop.runUntilIdle();
  EXPECT_TRUE(events.matched.empty());
}

TEST_F(IOHIDSim, OpenWithoutRunLoopFails) {
  EXPECT_NE(manager->open(0), kIOReturnSuccess);
}

TEST_F(IOHIDSim, ReportsGoOutFramedAndComeBackAsPayload) {
  auto device = bus.plug();
  openManager();
  IOHIDDeviceRef d = openFirst();
  ASSERT_EQ(sendLink(d), kIOReturnSuccess);
  const auto sent = device->commands();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].rawLength, 9);
  EXPECT_EQ(sent[0].raw[0], 0x00);  // no report IDs: the 0x00 prefix
  EXPECT_EQ(sent[0].code(), kCmdLink);
  loop.runUntilIdle();
  ASSERT_EQ(events.reports.size(), 1u);
  EXPECT_EQ(events.reports[0].size(), 8u);
  EXPECT_EQ(events.reports[0][0], kCmdLink);
  EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 8), events.reports[0]);
}

TEST_F(IOHIDSim, DeviceWithReportIdsGetsTheReportIdOnTheWire) {
  nuv::sim::DeviceInfo info;
  info.usesReportIds = true;
  auto device = bus.plug(info);
  openManager();
  IOHIDDeviceRef d = openFirst();
  ASSERT_EQ(sendLink(d), kIOReturnSuccess);
  const auto sent = device->commands();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].raw[0], kCmdLink);
  EXPECT_EQ(sent[0].code(), kCmdLink);
  loop.runUntilIdle();
  ASSERT_EQ(events.reportIds.size(), 1u);
  EXPECT_EQ(events.reportIds[0], nuv::sim::kInputReportId);
  EXPECT_EQ(events.reports[0].size(), 8u);
}

TEST_F(IOHIDSim, ShortReplyArrivesWithItsLength) {
  nuv::sim::UpdateDeviceOptions o;
  o.faults.push_back({nuv::sim::FaultKind::ShortReport, {nuv::sim::Trigger::Kind::AtCommand, 1}});
  (void)bus.plug({}, o);
  openManager();
  IOHIDDeviceRef d = openFirst();
  ASSERT_EQ(sendLink(d), kIOReturnSuccess);
  loop.runUntilIdle();
  ASSERT_EQ(events.reports.size(), 1u);
  EXPECT_EQ(events.reports[0].size(), 5u);
}

TEST_F(IOHIDSim, BadSendsAreRefused) {
  (void)bus.plug();
  openManager();
  loop.runUntilIdle();
  IOHIDDeviceRef d = events.matched.at(0);
  std::uint8_t report[64] = {kCmdLink};
  EXPECT_EQ(manager->deviceSetReport(d, kIOHIDReportTypeOutput, kCmdLink, report, 8),
            kIOReturnNotOpen);
  ASSERT_EQ(manager->deviceOpen(d, 0), kIOReturnSuccess);
  EXPECT_EQ(manager->deviceSetReport(d, kIOHIDReportTypeOutput, kCmdLink, report, 9),
            kIOReturnBadArgument);  // longer than the device's output report
  EXPECT_EQ(manager->deviceSetReport(d, kIOHIDReportTypeFeature, kCmdLink, report, 8),
            kIOReturnBadArgument);
  EXPECT_EQ(manager->deviceSetReport(d, kIOHIDReportTypeOutput, kCmdLink, nullptr, 8),
            kIOReturnBadArgument);
}

TEST_F(IOHIDSim, RemovalIsReportedAndSendsFailAfterIt) {
  auto device = bus.plug();
  openManager();
  IOHIDDeviceRef d = openFirst();
  ASSERT_TRUE(bus.unplug(bus.devices().front().path));
  loop.runUntilIdle();
  ASSERT_EQ(events.removed.size(), 1u);
  EXPECT_EQ(events.removed[0], d);
  EXPECT_EQ(sendLink(d), kIOReturnNotAttached);
  EXPECT_EQ(manager->deviceOpen(d, 0), kIOReturnNotAttached);
  EXPECT_TRUE(manager->copyDevices()->empty());
  // Plugged again it is a new device with a new reference.
  (void)bus.plug(device, nuv::sim::DeviceInfo{});
  loop.runUntilIdle();
  ASSERT_EQ(events.matched.size(), 2u);
  EXPECT_NE(events.matched[1], d);
}

TEST_F(IOHIDSim, FailedWriteIsAnError) {
  nuv::sim::UpdateDeviceOptions o;
  o.faults.push_back({nuv::sim::FaultKind::WriteFailure, {nuv::sim::Trigger::Kind::AtCommand, 1}});
  (void)bus.plug({}, o);
  openManager();
  IOHIDDeviceRef d = openFirst();
  EXPECT_EQ(sendLink(d), kIOReturnError);
}

TEST_F(IOHIDSim, LateReplyIsDeliveredWhenTheClockReachesIt) {
  nuv::sim::UpdateDeviceOptions o;
  o.latency = {nuv::sim::Latency::Model::Fixed, std::chrono::microseconds(2000)};
  (void)bus.plug({}, o);
  openManager();
  IOHIDDeviceRef d = openFirst();
  ASSERT_EQ(sendLink(d), kIOReturnSuccess);
  loop.runUntilIdle();
  EXPECT_TRUE(events.reports.empty());
  loop.advance(1999us);
  EXPECT_TRUE(events.reports.empty());
  loop.advance(1us);
  EXPECT_EQ(events.reports.size(), 1u);
}

TEST_F(IOHIDSim, NothingIsDeliveredAfterClose) {
  (void)bus.plug();
  openManager();
  IOHIDDeviceRef d = openFirst();
  ASSERT_EQ(sendLink(d), kIOReturnSuccess);
  EXPECT_EQ(manager->close(0), kIOReturnSuccess);
  (void)bus.plug();
  loop.runUntilIdle();
  EXPECT_TRUE(events.reports.empty());
  EXPECT_EQ(events.matched.size(), 1u);
  EXPECT_EQ(sendLink(d), kIOReturnNotOpen);
}

}  // namespace
