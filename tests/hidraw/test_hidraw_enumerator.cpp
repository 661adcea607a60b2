#include <gtest/gtest.h>

#include "platform/hidraw/Hidraw.h"
#include "tests/hidraw/Fakes.h"

namespace nuv::hidraw {
namespace {

using test::FakeUdev;

const DeviceFilter kUpdateDevice{0xFFFF, 0x0100};

UdevRecord node(int n, std::string hidId, int sequence = 0, std::string action = {}) {
  const std::string name = "hidraw" + std::to_string(n);
  return UdevRecord{std::move(action),
                    "/dev/" + name,
                    "/sys/devices/usb1/1-" + std::to_string(n) + "/0003:FFFF:0100.000" +
                        std::to_string(sequence) + "/hidraw/" + name,
                    std::move(hidId),
                    "0101\n",
                    static_cast<dev_t>(n)};
}

struct Harness {
  FakeUdev* udev;
  Enumerator enumerator;
  explicit Harness(DeviceFilter filter = kUpdateDevice)
      : Harness(std::make_unique<FakeUdev>(), filter) {}
  Harness(std::unique_ptr<FakeUdev> fake, DeviceFilter filter)
      : udev(fake.get()), enumerator(std::move(fake), filter) {}

  std::vector<HidrawDevice> scan() {
    auto result = enumerator.scan();
    EXPECT_TRUE(result.ok());
    return result.ok() ? result.value() : std::vector<HidrawDevice>{};
  }
  std::vector<DeviceEvent> drain() {
    std::vector<DeviceEvent> events;
    const std::size_t n = enumerator.drainEvents(events);
    EXPECT_EQ(n, events.size());
    return events;
  }
};

TEST(HidrawHidIdParsing, ReadsTheKernelsFormatAndOddCaseOrWidth) {
  EXPECT_EQ(parseHidId("0003:0000FFFF:00000100"), (HidId{3, 0xFFFF, 0x0100}));
  EXPECT_EQ(parseHidId("0003:0000ffff:00000100"), (HidId{3, 0xFFFF, 0x0100}));
  EXPECT_EQ(parseHidId("5:fFfF:100"), (HidId{5, 0xFFFF, 0x0100}));
  EXPECT_EQ(parseHidId("00000018:00000000:00000000"), (HidId{0x18, 0, 0}));
}

TEST(HidrawHidIdParsing, RefusesAnythingElse) {
  for (const char* bad :
       {"", "0003", "0003:0000FFFF", "0003:0000FFFF:", "0003::0100",
        "0003:00010000:0100",  // vendor beyond 16 bits
        "0003:FFFF:000100000", "0003:FFFF:0100:0001", "0003:0xFFFF:0100", "0003:-1:0100",
        "0003: FFFF:0100", "0003:FFFF:0100\n", "0003:FFFG:0100"}) {
    EXPECT_FALSE(parseHidId(bad).has_value()) << bad;
  }
}

TEST(HidrawDeviceFiltering, EmptyFieldsMatchAnything) {
  EXPECT_TRUE(DeviceFilter{}.matches({3, 0x1234, 0x5678}));
  EXPECT_TRUE((DeviceFilter{0xFFFF, {}}).matches({3, 0xFFFF, 0x0001}));
  EXPECT_TRUE(kUpdateDevice.matches({5, 0xFFFF, 0x0100}));
  EXPECT_FALSE(kUpdateDevice.matches({3, 0xFFFF, 0x0101}));
  EXPECT_FALSE(kUpdateDevice.matches({3, 0xFFFE, 0x0100}));
}

TEST(HidrawEnumeratorScan, ReportsOnlyIdentifiableMatchingNodes) {
  Harness h;
  h.udev->present = {node(0, "0003:0000046D:0000C52B"),  // another vendor
                     node(1, "0003:0000FFFF:00000100"),
                     node(2, "0003:0000FFFF:00000101"),  // same vendor, other product
                     node(3, ""),                        // no parent HID device
                     node(4, "garbage"),
                     node(6, "0005:0000ffff:00000100")};
  UdevRecord noDevnode = node(5, "0003:0000FFFF:00000100");
  noDevnode.devnode.clear();
  h.udev->present.push_back(noDevnode);

  const auto devices = h.scan();
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].devnode, "/dev/hidraw1");
  EXPECT_EQ(devices[0].id, (HidId{3, 0xFFFF, 0x0100}));
  EXPECT_EQ(devices[0].versionNumber, 0x0101);
  EXPECT_EQ(devices[0].devnum, 1u);
  EXPECT_EQ(devices[1].devnode, "/dev/hidraw6");
  EXPECT_EQ(devices[1].id.bus, 5u);
  EXPECT_NE(devices[0].identity, devices[1].identity);
  EXPECT_GE(devices[0].identity, 1u);
}

TEST(HidrawEnumeratorScan, WithoutFilterEveryIdentifiableNodeIsReported) {
  Harness h(DeviceFilter{});
  h.udev->present = {node(0, "0003:0000046D:0000C52B"), node(1, "0003:0000FFFF:00000100"),
                     node(2, "")};
  EXPECT_EQ(h.scan().size(), 2u);
}

TEST(HidrawEnumeratorScan, IdentityIsStableForANodeAndNewForAReplug) {
  Harness h;
  h.udev->present = {node(0, "0003:0000FFFF:00000100", 1)};
  const DeviceIdentity first = h.scan().at(0).identity;
  EXPECT_EQ(h.scan().at(0).identity, first);

  // Unplugged and plugged back: the same /dev name and dev_t, but a new HID sequence number.
  h.udev->present = {node(0, "0003:0000FFFF:00000100", 2)};
  const auto replugged = h.scan().at(0);
  EXPECT_EQ(replugged.devnode, "/dev/hidraw0");
  EXPECT_NE(replugged.identity, first);

  // The old path, were it to come back, is not confused with the new one either.
  h.udev->present.push_back(node(0, "0003:0000FFFF:00000100", 1));
  const auto both = h.scan();
  EXPECT_NE(both.at(0).identity, both.at(1).identity);
}

TEST(HidrawEnumeratorScan, AUdevFailureIsPassedOn) {
  Harness h;
  h.udev->enumerateError = Error::fromErrno("udev_enumerate_scan_devices", ENOMEM);
  auto result = h.enumerator.scan();
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().call, "udev_enumerate_scan_devices");
  EXPECT_EQ(result.error().code, ENOMEM);
}

TEST(HidrawEnumeratorMonitor, NotWatchingUntilStartedAndAFailedStartStaysSo) {
  Harness h;
  EXPECT_EQ(h.enumerator.monitorFd(), -1);
  h.udev->events.push_back(node(1, "0003:0000FFFF:00000100", 1, "add"));
  EXPECT_TRUE(h.drain().empty());

  h.udev->monitorError = Error::fromErrno("udev_monitor_new_from_netlink", EPERM);
  const auto error = h.enumerator.startMonitor();
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->code, EPERM);
  EXPECT_EQ(h.enumerator.monitorFd(), -1);

  h.udev->monitorError.reset();
  EXPECT_FALSE(h.enumerator.startMonitor().has_value());
  EXPECT_EQ(h.enumerator.monitorFd(), 42);
  EXPECT_FALSE(h.enumerator.startMonitor().has_value());  // again: nothing changes
}

TEST(HidrawEnumeratorMonitor, ArrivalsAndRemovalsCarryTheSameIdentity) {
  Harness h;
  ASSERT_FALSE(h.enumerator.startMonitor().has_value());
  h.udev->events = {node(1, "0003:0000FFFF:00000100", 1, "add"),
                    node(1, "0003:0000FFFF:00000100", 1, "change"),
                    node(2, "0003:0000FFFF:00000100", 2, "add")};
  auto events = h.drain();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].action, DeviceAction::Added);
  EXPECT_EQ(events[0].device.devnode, "/dev/hidraw1");
  const DeviceIdentity one = events[0].device.identity;
  const DeviceIdentity two = events[1].device.identity;
  EXPECT_NE(one, two);

  // A removal's record has no parent any more: identity and ids come from the arrival.
  UdevRecord removal = node(1, "", 1, "remove");
  removal.bcdDevice.clear();
  h.udev->events = {removal};
  events = h.drain();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].action, DeviceAction::Removed);
  EXPECT_EQ(events[0].device.identity, one);
  EXPECT_EQ(events[0].device.id, (HidId{3, 0xFFFF, 0x0100}));
  EXPECT_EQ(events[0].device.versionNumber, 0x0101);

  // The scan after it knows only the node still there, under its identity.
  h.udev->present = {node(2, "0003:0000FFFF:00000100", 2)};
  EXPECT_EQ(h.scan().at(0).identity, two);
}

TEST(HidrawEnumeratorMonitor, ScanAndEventsTogetherReportEachChangeOnce) {
  Harness h;
  ASSERT_FALSE(h.enumerator.startMonitor().has_value());
  // The node arrived after the monitor started and before the scan: the scan reports it, the
  // queued arrival does not report it again.
  h.udev->present = {node(1, "0003:0000FFFF:00000100", 1)};
  const DeviceIdentity id = h.scan().at(0).identity;
  h.udev->events = {node(1, "0003:0000FFFF:00000100", 1, "add")};
  EXPECT_TRUE(h.drain().empty());

  // A scan that misses it (it went) does not forget it while watching: its removal comes.
  h.udev->present.clear();
  EXPECT_TRUE(h.scan().empty());
  h.udev->events = {node(1, "", 1, "remove"), node(1, "", 1, "remove")};
  const auto events = h.drain();
  ASSERT_EQ(events.size(), 1u);  // the second removal is of a node no longer known
  EXPECT_EQ(events[0].device.identity, id);
}

TEST(HidrawEnumeratorMonitor, OtherDevicesAndUnknownRemovalsAreDropped) {
  Harness h;
  ASSERT_FALSE(h.enumerator.startMonitor().has_value());
  h.udev->events = {node(3, "0003:0000046D:0000C52B", 1, "add"), node(3, "", 1, "remove"),
                    node(4, "", 4, "remove"), node(5, "", 5, "add")};
  EXPECT_TRUE(h.drain().empty());
}

// On this machine: udev answers, whether or not any hidraw node (or the update device) is
// present. Nothing is opened.
TEST(HidrawRealEnumeration, ListsWithoutFailingWhenNoDeviceIsPresent) {
  auto created = Enumerator::create(kUpdateDevice);
  ASSERT_TRUE(created.ok()) << created.error().describe();
  Enumerator& enumerator = created.value();
  auto devices = enumerator.scan();
  ASSERT_TRUE(devices.ok()) << devices.error().describe();
  for (const HidrawDevice& device : devices.value()) {
    EXPECT_EQ(device.id.vendorId, 0xFFFF);
    EXPECT_EQ(device.id.productId, 0x0100);
    EXPECT_FALSE(device.devnode.empty());
  }
  // Containers may refuse the netlink socket; when it opens, draining must not wait.
  if (!enumerator.startMonitor()) {
    EXPECT_GE(enumerator.monitorFd(), 0);
    std::vector<DeviceEvent> events;
    (void)enumerator.drainEvents(events);
  }
}

}  // namespace
}  // namespace nuv::hidraw
