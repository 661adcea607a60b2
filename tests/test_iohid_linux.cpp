// The linux backend of the HID manager over fakes of the kernel's hidraw nodes and of udev:
// matching, descriptor-driven framing of a send, delivery of a read, arrival and removal, and
// failures; then the controller's version query end to end on it.
#include <gtest/gtest.h>

#include <map>

#include "mac/AppDelegate.h"
#include "platform/cocoa/Headless.h"
#include "platform/iohid/Linux.h"
#include "protocol/HIDProto.h"
#include "protocol/Log.h"
#include "tests/hidraw/Fakes.h"

namespace {

using namespace std::chrono_literals;
using namespace nuv::iohid;
using nuv::hidraw::test::Bytes;
using nuv::hidraw::test::FakeFile;
using nuv::hidraw::test::FakeSystemCalls;
using nuv::hidraw::test::FakeUdev;

// 8-byte input and output reports of a vendor page, optionally behind report ID 1.
Bytes descriptor(bool reportIds) {
  Bytes d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01};
  if (reportIds) d.insert(d.end(), {0x85, 0x01});
  d.insert(d.end(), {0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x08, 0x09, 0x01, 0x81, 0x02,
                     0x09, 0x01, 0x91, 0x02, 0xC0});
  return d;
}

nuv::hidraw::UdevRecord record(const std::string& node, const std::string& hidId,
                               const std::string& action = "") {
  return {action, "/dev/" + node, "/sys/devices/usb1/" + node, hidId, "0101", 0};
}
constexpr const char* kUpdateDevice = "0003:0000FFFF:00000100";

struct LineSink final : nuv::LogSink {
  void write(std::string_view line) override { lines.emplace_back(line); }
  std::vector<std::string> lines;
};
struct CaptureLog {
  LineSink sink;
  nuv::ScopedLogSink scope{sink};
};

// Readiness as the test declares it: fire() runs the callbacks of one descriptor.
class FakeWatcher final : public DescriptorWatcher {
 public:
  int watch(int fd, std::function<void()> onReadable) override {
    watches_[next_] = {fd, std::move(onReadable)};
    return next_++;
  }
  void unwatch(int id) override { watches_.erase(id); }
  // A callback may watch and unwatch, so the ids are taken first.
  void fire(int fd) {
    std::vector<int> ids;
    for (const auto& [id, w] : watches_)
      if (w.first == fd) ids.push_back(id);
    for (int id : ids) {
      const auto it = watches_.find(id);
      if (it == watches_.end()) continue;
      const auto callback = it->second.second;  // may unwatch itself
      callback();
    }
  }
  [[nodiscard]] bool watching(int fd) const {
    for (const auto& [id, w] : watches_)
      if (w.first == fd) return true;
    return false;
  }

 private:
  std::map<int, std::pair<int, std::function<void()>>> watches_;
  int next_ = 1;
};

struct Events {
  std::vector<IOHIDDeviceRef> matched, removed;
  std::vector<Bytes> reports;
  std::vector<std::uint32_t> ids;
  static void onMatch(void* c, IOReturn, void*, IOHIDDeviceRef d) {
    static_cast<Events*>(c)->matched.push_back(d);
  }
  static void onRemove(void* c, IOReturn, void*, IOHIDDeviceRef d) {
    static_cast<Events*>(c)->removed.push_back(d);
  }
  static void onReport(void* c, IOReturn, void*, IOHIDReportType, std::uint32_t id,
                       std::uint8_t* bytes, long length) {
    static_cast<Events*>(c)->reports.emplace_back(bytes, bytes + length);
    static_cast<Events*>(c)->ids.push_back(id);
  }
};

class IOHIDLinux : public ::testing::Test {
 protected:
  IOHIDLinux() {
    LinuxHIDSeams seams;
    seams.sys = &sys;
    seams.watcher = &watcher;
    seams.makeUdev = [this]() -> nuv::Result<std::unique_ptr<nuv::hidraw::UdevBackend>> {
      auto fake = std::make_unique<FakeUdev>();
      fake->present = present;
      udev = fake.get();
      return std::unique_ptr<nuv::hidraw::UdevBackend>(std::move(fake));
    };
    manager = createLinuxHIDManager(std::move(seams));
  }
  FakeFile& addNode(const std::string& node, bool reportIds = false) {
    FakeFile& f = sys.files["/dev/" + node];
    f.descriptor = descriptor(reportIds);
    return f;
  }
  void openManager() {
    manager->setDeviceMatching({{kIOHIDVendorIDKey, 0xFFFF}, {kIOHIDProductIDKey, 0x0100}});
    manager->registerDeviceMatchingCallback(&Events::onMatch, &events);
    manager->registerDeviceRemovalCallback(&Events::onRemove, &events);
    manager->scheduleWithRunLoop(loop);
    ASSERT_EQ(manager->open(0), kIOReturnSuccess);
    loop.runUntilIdle();
  }
  IOHIDDeviceRef openFirst() {
    EXPECT_FALSE(events.matched.empty());
    if (events.matched.empty()) return nullptr;
    IOHIDDeviceRef d = events.matched.front();
    EXPECT_EQ(manager->deviceOpen(d, 0), kIOReturnSuccess);
    manager->deviceRegisterInputReportCallback(d, buffer, sizeof buffer, &Events::onReport,
                                               &events);
    return d;
  }
  IOReturn send(IOHIDDeviceRef d, std::uint8_t code) {
    std::uint8_t report[8] = {code, 0, 0, 0, 0, 0, 0, code};
    return manager->deviceSetReport(d, kIOHIDReportTypeOutput, code, report, 8);
  }
  int nodeFd() const { return 3; }  // the fake's first descriptor

  nuv::cocoa::HeadlessRunLoop loop;
  FakeSystemCalls sys;
  FakeWatcher watcher;
  FakeUdev* udev = nullptr;
  std::vector<nuv::hidraw::UdevRecord> present;
  Events events;
  std::uint8_t buffer[1024] = {};
  std::unique_ptr<IOHIDManager> manager;
};

TEST_F(IOHIDLinux, OnlyTheUpdateDeviceMatchesAndIsReportedFromTheLoop) {
  addNode("hidraw0");
  addNode("hidraw1");
  present = {record("hidraw0", "0003:0000FFFF:00000200"), record("hidraw1", kUpdateDevice)};
  manager->setDeviceMatching({{kIOHIDVendorIDKey, 0xFFFF}, {kIOHIDProductIDKey, 0x0100}});
  manager->registerDeviceMatchingCallback(&Events::onMatch, &events);
  manager->scheduleWithRunLoop(loop);
  ASSERT_EQ(manager->open(0), kIOReturnSuccess);
  EXPECT_TRUE(events.matched.empty());
  ASSERT_EQ(manager->copyDevices()->size(), 1u);
  loop.runUntilIdle();
  ASSERT_EQ(events.matched.size(), 1u);
  EXPECT_EQ(sys.openCount(), 0);  // nothing is opened before the caller asks
}

TEST_F(IOHIDLinux, SendWithoutReportIdsGetsTheZeroPrefix) {
  FakeFile& node = addNode("hidraw0");
  present = {record("hidraw0", kUpdateDevice)};
  openManager();
  IOHIDDeviceRef d = openFirst();
  ASSERT_EQ(send(d, kCmdLink), kIOReturnSuccess);
  ASSERT_EQ(node.written.size(), 1u);
  EXPECT_EQ(node.written[0], (Bytes{0x00, 0x10, 0, 0, 0, 0, 0, 0, 0x10}));
}

TEST_F(IOHIDLinux, SendWithReportIdsPutsTheIdOnTheWire) {
  FakeFile& node = addNode("hidraw0", true);
  present = {record("hidraw0", kUpdateDevice)};
  openManager();
  IOHIDDeviceRef d = openFirst();
  ASSERT_EQ(send(d, kCmdVersion), kIOReturnSuccess);
  ASSERT_EQ(node.written.size(), 1u);
  EXPECT_EQ(node.written[0], (Bytes{0x1C, 0x1C, 0, 0, 0, 0, 0, 0, 0x1C}));
}

TEST_F(IOHIDLinux, UnreadableDescriptorFallsBackToPlainReports) {
  FakeFile& node = addNode("hidraw0");
  node.descriptor.clear();  // an empty descriptor does not parse
  present = {record("hidraw0", kUpdateDevice)};
  openManager();
  IOHIDDeviceRef d = openFirst();
  ASSERT_EQ(send(d, kCmdLink), kIOReturnSuccess);
  ASSERT_EQ(node.written.size(), 1u);
  EXPECT_EQ(node.written[0].size(), 9u);
  EXPECT_EQ(node.written[0][0], 0x00);
}

TEST_F(IOHIDLinux, ReadsAreDeliveredOneReportPerReadiness) {
  FakeFile& node = addNode("hidraw0");
  present = {record("hidraw0", kUpdateDevice)};
  openManager();
  (void)openFirst();
  node.inputReports.push_back({0x18, 0x34, 0x12, 1, 2, 3, 4, 0x3A});
  node.inputReports.push_back({0x1C, 0, 0, '1', '.', '0', '1'});  // 7 bytes: short
  watcher.fire(nodeFd());
  ASSERT_EQ(events.reports.size(), 1u);
  EXPECT_EQ(events.reports[0], (Bytes{0x18, 0x34, 0x12, 1, 2, 3, 4, 0x3A}));
  EXPECT_EQ(Bytes(buffer, buffer + 8), events.reports[0]);
  EXPECT_EQ(events.ids[0], 0u);
  watcher.fire(nodeFd());
  ASSERT_EQ(events.reports.size(), 2u);
  EXPECT_EQ(events.reports[1].size(), 7u);
  watcher.fire(nodeFd());  // nothing queued: nothing delivered
  EXPECT_EQ(events.reports.size(), 2u);
}

TEST_F(IOHIDLinux, ReadWithReportIdLosesTheIdByte) {
  FakeFile& node = addNode("hidraw0", true);
  present = {record("hidraw0", kUpdateDevice)};
  openManager();
  (void)openFirst();
  node.inputReports.push_back({0x01, 0x10, 0, 0, 1, 0, 0xFC, 0, 0});
  watcher.fire(nodeFd());
  ASSERT_EQ(events.reports.size(), 1u);
  EXPECT_EQ(events.reports[0], (Bytes{0x10, 0, 0, 1, 0, 0xFC, 0, 0}));
  EXPECT_EQ(events.ids[0], 1u);
}

TEST_F(IOHIDLinux, ArrivalAndRemovalFromTheMonitor) {
  addNode("hidraw4");
  openManager();
  EXPECT_TRUE(events.matched.empty());
  udev->events.push_back(record("hidraw4", kUpdateDevice, "add"));
  udev->events.push_back(record("hidraw5", "0003:00001234:00000100", "add"));
  watcher.fire(42);
  ASSERT_EQ(events.matched.size(), 1u);
  IOHIDDeviceRef d = openFirst();
  ASSERT_TRUE(watcher.watching(nodeFd()));

  udev->events.push_back(record("hidraw4", kUpdateDevice, "remove"));
  watcher.fire(42);
  ASSERT_EQ(events.removed.size(), 1u);
  EXPECT_EQ(events.removed[0], d);
  EXPECT_FALSE(watcher.watching(nodeFd()));
  EXPECT_EQ(send(d, kCmdLink), kIOReturnNotAttached);
  EXPECT_EQ(manager->deviceOpen(d, 0), kIOReturnNotAttached);
  EXPECT_TRUE(manager->copyDevices()->empty());
  EXPECT_EQ(sys.openCount(), 0);  // the node was closed
}

TEST_F(IOHIDLinux, NodeThatGoesStopsBeingWatched) {
  FakeFile& node = addNode("hidraw0");
  present = {record("hidraw0", kUpdateDevice)};
  openManager();
  (void)openFirst();
  node.gone = true;
  watcher.fire(nodeFd());
  EXPECT_TRUE(events.reports.empty());
  EXPECT_FALSE(watcher.watching(nodeFd()));
}

TEST_F(IOHIDLinux, OpenAndWriteFailuresAreReported) {
  FakeFile& node = addNode("hidraw0");
  node.openErrno = EACCES;
  present = {record("hidraw0", kUpdateDevice)};
  CaptureLog capture;
  openManager();
  ASSERT_EQ(events.matched.size(), 1u);
  IOHIDDeviceRef d = events.matched[0];
  EXPECT_EQ(manager->deviceOpen(d, 0), kIOReturnNotPermitted);
  EXPECT_EQ(send(d, kCmdLink), kIOReturnNotOpen);
  node.openErrno = 0;
  ASSERT_EQ(manager->deviceOpen(d, 0), kIOReturnSuccess);
  node.writeErrnos = {EIO};
  EXPECT_EQ(send(d, kCmdLink), kIOReturnError);
  EXPECT_GE(capture.sink.lines.size(), 2u);
}

TEST_F(IOHIDLinux, UdevFailureFailsTheOpen) {
  LinuxHIDSeams seams;
  seams.sys = &sys;
  seams.watcher = &watcher;
  seams.makeUdev = []() -> nuv::Result<std::unique_ptr<nuv::hidraw::UdevBackend>> {
    return nuv::Error::message("no udev here");
  };
  auto failing = createLinuxHIDManager(std::move(seams));
  failing->scheduleWithRunLoop(loop);
  CaptureLog capture;
  EXPECT_NE(failing->open(0), kIOReturnSuccess);
  EXPECT_FALSE(failing->copyDevices().has_value());
  ASSERT_EQ(capture.sink.lines.size(), 1u);
  EXPECT_EQ(capture.sink.lines[0], "hidraw: no udev here");
}

// The controller's version query on the linux backend, the device's replies given by hand.
TEST_F(IOHIDLinux, VersionQueryEndToEnd) {
  FakeFile& node = addNode("hidraw0");
  present = {record("hidraw0", kUpdateDevice)};
  nuv::cocoa::HeadlessApplication app;
  CaptureLog capture;
  LinuxHIDSeams seams;
  seams.sys = &sys;
  seams.watcher = &watcher;
  seams.makeUdev = [this]() -> nuv::Result<std::unique_ptr<nuv::hidraw::UdevBackend>> {
    auto fake = std::make_unique<FakeUdev>();
    fake->present = present;
    return std::unique_ptr<nuv::hidraw::UdevBackend>(std::move(fake));
  };
  nuv::mac::AppDelegate delegate(app, [&] { return createLinuxHIDManager(seams); });
  delegate.applicationDidFinishLaunching();
  app.runLoop().runUntilIdle();
  ASSERT_EQ(app.nib()->statusTextField.stringValue(), "Ready");
  ASSERT_TRUE(app.nib()->versionButton.click());
  node.inputReports.push_back({0x10, 0, 0, 0, 0, 0, 0, 0x10});
  watcher.fire(nodeFd());
  app.runLoop().advance(500ms);
  ASSERT_EQ(node.written.size(), 2u);
  EXPECT_EQ(node.written[1], (Bytes{0x00, 0x1C, 0, 0, 0, 0, 0, 0, 0x1C}));
  node.inputReports.push_back({0x1C, 0, 0, '1', '.', '0', '1', 0});
  watcher.fire(nodeFd());
  EXPECT_EQ(app.nib()->statusTextField.stringValue(), "Version: 1.01");
}

}  // namespace
