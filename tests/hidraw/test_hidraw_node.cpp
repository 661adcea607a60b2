#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>

#include "platform/hidraw/Hidraw.h"
#include "tests/hidraw/Fakes.h"

namespace nuv::hidraw {
namespace {

using test::Bytes;
using test::FakeFile;
using test::FakeSystemCalls;

const Bytes kUpdateDescriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00,
                                 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x08, 0x09, 0x01,
                                 0x81, 0x02, 0x95, 0x08, 0x09, 0x02, 0x91, 0x02, 0xC0};
const std::string kPath = "/dev/hidraw2";

struct HidrawNodeTest : ::testing::Test {
  FakeSystemCalls sys;
  FakeFile& device = sys.files[kPath];

  HidrawNodeTest() {
    device.rdev = makedev(240, 2);
    device.descriptor = kUpdateDescriptor;
  }

  Node open(OpenMode mode) {
    auto node = Node::open(kPath, mode, sys);
    EXPECT_TRUE(node.ok()) << node.error().describe();
    return std::move(node).value();
  }
  void addSysfsFile(const std::string& name, std::string_view content) {
    FakeFile& file = sys.files["/sys/dev/char/240:2/device/" + name];
    file.isDevice = false;
    file.content.assign(content.begin(), content.end());
  }
};

TEST_F(HidrawNodeTest, EachModeOpensWithItsFlagsAndClosesOnceWhenDestroyedOrMoved) {
  {
    Node rw = open(OpenMode::ReadWrite);
    Node ro = open(OpenMode::ReadOnly);
    Node query = open(OpenMode::QueryOnly);
    EXPECT_EQ(sys.openCount(), 3);
    Node moved = std::move(rw);
    EXPECT_FALSE(rw.isOpen());  // NOLINT: the moved-from state is part of the contract
    EXPECT_TRUE(moved.isOpen());
    ro = std::move(query);  // closes what ro held
    EXPECT_EQ(sys.openCount(), 2);
    EXPECT_EQ(ro.mode(), OpenMode::QueryOnly);
  }
  EXPECT_EQ(sys.openCount(), 0);
  ASSERT_EQ(sys.openFlags.size(), 3u);
  EXPECT_EQ(sys.openFlags[0], O_RDWR | O_NONBLOCK | O_CLOEXEC);
  EXPECT_EQ(sys.openFlags[1], O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_EQ(sys.openFlags[2], O_PATH | O_CLOEXEC);
}

TEST_F(HidrawNodeTest, AFailedOpenNamesTheCallAndThePath) {
  device.openErrno = EACCES;
  auto node = Node::open(kPath, OpenMode::ReadWrite, sys);
  ASSERT_FALSE(node.ok());
  EXPECT_EQ(node.error().call, "open /dev/hidraw2");
  EXPECT_EQ(node.error().code, EACCES);
  EXPECT_EQ(node.error().describe(), "open /dev/hidraw2: Permission denied");

  auto missing = Node::open("/dev/hidraw9", OpenMode::QueryOnly, sys);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().code, ENOENT);
}

TEST_F(HidrawNodeTest, RawInfoTurnsTheKernelsSignedIdsIntoUnsignedOnes) {
  Node node = open(OpenMode::ReadWrite);
  auto info = node.rawInfo();
  ASSERT_TRUE(info.ok());
  EXPECT_EQ(info.value(), (RawInfo{3, 0xFFFF, 0x0100}));

  device.vendor = static_cast<std::int16_t>(0x8086);
  device.product = -2;
  EXPECT_EQ(node.rawInfo().value(), (RawInfo{3, 0x8086, 0xFFFE}));
}

TEST_F(HidrawNodeTest, DescriptorAndCapabilitiesComeFromTheIoctls) {
  Node node = open(OpenMode::ReadOnly);
  auto descriptor = node.reportDescriptor();
  ASSERT_TRUE(descriptor.ok());
  EXPECT_EQ(descriptor.value(), kUpdateDescriptor);
  auto caps = node.capabilities();
  ASSERT_TRUE(caps.ok());
  EXPECT_EQ(caps.value().inputReportByteLength, 9);
  EXPECT_EQ(caps.value().outputReportByteLength, 9);
  EXPECT_FALSE(caps.value().usesReportIds);
}

TEST_F(HidrawNodeTest, IoctlFailuresAndBadSizesAreReported) {
  Node node = open(OpenMode::ReadWrite);
  device.descriptor.clear();
  auto empty = node.reportDescriptor();
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().describe(), "/dev/hidraw2: report descriptor size 0 out of range");

  device.descriptor = {0x06, 0x00};  // a truncated descriptor reaches the parser's refusal
  auto caps = node.capabilities();
  ASSERT_FALSE(caps.ok());
  EXPECT_EQ(caps.error().describe(), "report descriptor: truncated item at offset 0");

  device.ioctlErrno = ENODEV;
  auto info = node.rawInfo();
  ASSERT_FALSE(info.ok());
  EXPECT_EQ(info.error().call, "ioctl(HIDIOCGRAWINFO) /dev/hidraw2");
  EXPECT_EQ(info.error().code, ENODEV);
  auto size = node.reportDescriptor();
  ASSERT_FALSE(size.ok());
  EXPECT_EQ(size.error().call, "ioctl(HIDIOCGRDESCSIZE) /dev/hidraw2");
}

TEST_F(HidrawNodeTest, QueryOnlyReadsSysfsAndNeverTouchesTheDevice) {
  addSysfsFile("uevent", "DRIVER=hid-generic\nHID_ID=0003:0000FFFF:00000100\nHID_NAME=x\n");
  addSysfsFile("report_descriptor",
               std::string_view(reinterpret_cast<const char*>(kUpdateDescriptor.data()),
                                kUpdateDescriptor.size()));
  Node node = open(OpenMode::QueryOnly);
  EXPECT_EQ(node.rawInfo().value(), (RawInfo{3, 0xFFFF, 0x0100}));
  auto caps = node.capabilities();
  ASSERT_TRUE(caps.ok()) << caps.error().describe();
  EXPECT_EQ(caps.value().outputReportByteLength, 9);

  std::uint8_t buffer[9] = {};
  EXPECT_EQ(node.read(buffer).status, IoStatus::Failed);
  EXPECT_EQ(node.write(buffer).status, IoStatus::Failed);
  EXPECT_EQ(node.waitReadable(0).status, IoStatus::Failed);
  EXPECT_EQ(sys.systemCallsOnDevices, 0);
  EXPECT_EQ(sys.openCount(), 1);  // the sysfs files were closed again
}

TEST_F(HidrawNodeTest, QueryOnlyWithoutUsableSysfsSaysSo) {
  Node node = open(OpenMode::QueryOnly);
  auto missing = node.rawInfo();
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().call, "open /sys/dev/char/240:2/device/uevent");
  EXPECT_EQ(missing.error().code, ENOENT);

  addSysfsFile("uevent", "DRIVER=hid-generic\n");
  EXPECT_EQ(node.rawInfo().error().describe(),
            "/dev/hidraw2: no usable HID_ID in its sysfs uevent");
  addSysfsFile("report_descriptor", std::string(kMaxDescriptorSize + 1, '\x01'));
  EXPECT_EQ(node.reportDescriptor().error().describe(),
            "/sys/dev/char/240:2/device/report_descriptor is larger than expected");
  EXPECT_EQ(sys.openCount(), 1);
}

TEST_F(HidrawNodeTest, WritesPassTheReportIdByteAndPayloadAsGiven) {
  Node node = open(OpenMode::ReadWrite);
  const Bytes report = {0x00, 0x1C, 0, 0, 0, 0, 0, 0, 0x1C};
  device.writeErrnos = {EINTR};  // interrupted once, then written whole
  const IoResult result = node.write(report);
  EXPECT_EQ(result.status, IoStatus::Ok);
  EXPECT_EQ(result.count, 9u);
  ASSERT_EQ(device.written.size(), 1u);
  EXPECT_EQ(device.written[0], report);
}

TEST_F(HidrawNodeTest, WriteFailuresTellAnUnplugFromOtherErrors) {
  Node node = open(OpenMode::ReadWrite);
  const Bytes report(9, 0x00);
  device.writeErrnos = {ENODEV, EIO, EPIPE};
  IoResult gone = node.write(report);
  EXPECT_EQ(gone.status, IoStatus::Gone);
  EXPECT_EQ(gone.error->describe(), "write /dev/hidraw2: No such device");
  IoResult io = node.write(report);
  EXPECT_EQ(io.status, IoStatus::Failed);
  EXPECT_EQ(io.error->code, EIO);
  EXPECT_EQ(node.write(report).error->code, EPIPE);

  device.writeLimit = 4;
  IoResult shortWrite = node.write(report);
  EXPECT_EQ(shortWrite.status, IoStatus::Failed);
  EXPECT_EQ(shortWrite.count, 4u);
  EXPECT_EQ(shortWrite.error->describe(), "write /dev/hidraw2: 4 of 9 bytes written");

  EXPECT_EQ(node.write({}).status, IoStatus::Failed);
  Node readOnly = open(OpenMode::ReadOnly);
  const int before = sys.systemCallsOnDevices;
  EXPECT_EQ(readOnly.write(report).status, IoStatus::Failed);
  EXPECT_EQ(sys.systemCallsOnDevices, before);
}

TEST_F(HidrawNodeTest, ReadsHandOverOneReportOrSayWhyNot) {
  Node node = open(OpenMode::ReadWrite);
  std::uint8_t buffer[9] = {};
  EXPECT_EQ(node.read(buffer).status, IoStatus::TimedOut);

  device.inputReports = {{0x1C, 0, 0, 0, 0, 'V', '1', '.'}, Bytes(12, 0xAB)};
  IoResult one = node.read(buffer);
  EXPECT_EQ(one.status, IoStatus::Ok);
  EXPECT_EQ(one.count, 8u);
  EXPECT_EQ(buffer[5], 'V');
  EXPECT_EQ(node.read(buffer).count, 9u);  // a longer report is cut to the buffer

  device.readErrno = EINTR;
  EXPECT_EQ(node.read(buffer).status, IoStatus::TimedOut);
  device.readErrno = EOVERFLOW;
  IoResult failed = node.read(buffer);
  EXPECT_EQ(failed.status, IoStatus::Failed);
  EXPECT_EQ(failed.error->call, "read /dev/hidraw2");
  device.readErrno = 0;

  // Unplugged: what was queued is still read, then the node says it has gone.
  device.inputReports = {Bytes(8, 0x01)};
  device.gone = true;
  EXPECT_EQ(node.read(buffer).status, IoStatus::Ok);
  IoResult gone = node.read(buffer);
  EXPECT_EQ(gone.status, IoStatus::Gone);
  EXPECT_EQ(gone.error->code, EIO);
}

TEST_F(HidrawNodeTest, ReadWithReportIdGivesWindowsFramingEitherWay) {
  Node node = open(OpenMode::ReadWrite);
  std::uint8_t buffer[9];
  std::fill(std::begin(buffer), std::end(buffer), 0xEE);
  device.inputReports = {{0x1C, 1, 2, 3, 4, 5, 6, 7}};
  IoResult plain = node.readWithReportId(buffer, false);
  EXPECT_EQ(plain.status, IoStatus::Ok);
  EXPECT_EQ(plain.count, 9u);
  EXPECT_EQ(Bytes(buffer, buffer + 9), (Bytes{0x00, 0x1C, 1, 2, 3, 4, 5, 6, 7}));

  device.inputReports = {{0x01, 0x1C, 1, 2, 3, 4, 5, 6, 7}};
  IoResult withId = node.readWithReportId(buffer, true);
  EXPECT_EQ(withId.count, 9u);
  EXPECT_EQ(buffer[0], 0x01);

  IoResult nothing = node.readWithReportId(buffer, false);
  EXPECT_EQ(nothing.status, IoStatus::TimedOut);
  EXPECT_EQ(nothing.count, 0u);
  EXPECT_EQ(node.readWithReportId({}, false).status, IoStatus::Failed);
}

TEST_F(HidrawNodeTest, WaitReadableReportsReportsTimeOutsAndUnplugs) {
  Node node = open(OpenMode::ReadWrite);
  EXPECT_EQ(node.waitReadable(200).status, IoStatus::TimedOut);
  device.inputReports = {Bytes(8, 0)};
  EXPECT_EQ(node.waitReadable(-1).status, IoStatus::Ok);
  EXPECT_EQ(sys.pollTimeouts, (std::vector<int>{200, -1}));

  device.gone = true;
  EXPECT_EQ(node.waitReadable(0).status, IoStatus::Ok);  // the queued report comes first
  device.inputReports.clear();
  IoResult gone = node.waitReadable(0);
  EXPECT_EQ(gone.status, IoStatus::Gone);
  EXPECT_EQ(gone.error->code, ENODEV);

  sys.pollErrno = EINTR;
  EXPECT_EQ(node.waitReadable(10).status, IoStatus::TimedOut);
  sys.pollErrno = ENOMEM;
  IoResult failed = node.waitReadable(10);
  EXPECT_EQ(failed.status, IoStatus::Failed);
  EXPECT_EQ(failed.error->call, "poll /dev/hidraw2");
}

TEST_F(HidrawNodeTest, AClosedNodeRefusesEverything) {
  Node node = open(OpenMode::ReadWrite);
  node.close();
  node.close();
  EXPECT_EQ(sys.openCount(), 0);
  std::uint8_t buffer[9] = {};
  EXPECT_FALSE(node.rawInfo().ok());
  EXPECT_FALSE(node.reportDescriptor().ok());
  EXPECT_EQ(node.read(buffer).status, IoStatus::Failed);
  EXPECT_EQ(node.write(buffer).status, IoStatus::Failed);
  EXPECT_EQ(node.waitReadable(0).status, IoStatus::Failed);
}

// The real system calls, on a character device that is not a HID device: the hidraw ioctls
// are refused with the kernel's own code, and a query-only node finds no HID entry in sysfs.
TEST(HidrawRealSystemCalls, ANonHidDeviceIsRefusedClearly) {
  auto node = Node::open("/dev/null", OpenMode::ReadWrite);
  ASSERT_TRUE(node.ok()) << node.error().describe();
  auto info = node.value().rawInfo();
  ASSERT_FALSE(info.ok());
  EXPECT_EQ(info.error().call, "ioctl(HIDIOCGRAWINFO) /dev/null");
  EXPECT_EQ(info.error().code, ENOTTY);
  EXPECT_FALSE(node.value().capabilities().ok());
  const Bytes report(9, 0x00);
  EXPECT_EQ(node.value().write(report).status, IoStatus::Ok);

  auto query = Node::open("/dev/null", OpenMode::QueryOnly);
  ASSERT_TRUE(query.ok()) << query.error().describe();
  auto queried = query.value().rawInfo();
  ASSERT_FALSE(queried.ok());
  EXPECT_EQ(queried.error().code, ENOENT);

  auto missing = Node::open("/dev/hidraw-none", OpenMode::QueryOnly);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().code, ENOENT);
}

// The real poll and read on a FIFO, which like a hidraw node is a file that only has data when
// someone put some there: nothing readable is a time-out and an empty read, never a hang.
TEST(HidrawRealSystemCalls, WaitAndReadNeverBlockBeyondTheirTimeOut) {
  std::string dir = (std::filesystem::temp_directory_path() / "hidraw-test-XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  const std::string fifo = dir + "/node";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  {
    auto node = Node::open(fifo, OpenMode::ReadWrite);
    ASSERT_TRUE(node.ok()) << node.error().describe();
    Node& n = node.value();
    EXPECT_EQ(n.waitReadable(0).status, IoStatus::TimedOut);
    std::uint8_t buffer[16] = {};
    EXPECT_EQ(n.read(buffer).status, IoStatus::TimedOut);

    const Bytes report = {0x00, 0x1C, 0, 0, 0, 0, 0, 0, 0x1C};
    ASSERT_EQ(n.write(report).status, IoStatus::Ok);
    EXPECT_EQ(n.waitReadable(1000).status, IoStatus::Ok);
    const IoResult got = n.read(buffer);
    EXPECT_EQ(got.status, IoStatus::Ok);
    EXPECT_EQ(Bytes(buffer, buffer + got.count), report);
    EXPECT_EQ(n.read(buffer).status, IoStatus::TimedOut);
  }
  EXPECT_EQ(unlink(fifo.c_str()), 0);
  EXPECT_EQ(rmdir(dir.c_str()), 0);
}

}  // namespace
}  // namespace nuv::hidraw
