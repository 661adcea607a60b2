// Runs inside the test VM: the project's hidraw layer (udev enumeration and monitor, node I/O,
// report lengths from the descriptor) against the kernel's hidraw node of the uhid device.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "platform/hidraw/Hidraw.h"
#include "protocol/HIDProto.h"
#include "tests/vm/GuestSupport.h"

namespace {

using namespace std::chrono_literals;
namespace hr = nuv::hidraw;

const hr::DeviceFilter kUpdateDevice{0xFFFF, 0x0100};

std::optional<hr::HidrawDevice> findNode(hr::Enumerator& e, const std::string& devnode) {
  auto scanned = e.scan();
  if (!scanned) {
    ADD_FAILURE() << scanned.error().describe();
    return std::nullopt;
  }
  for (const auto& d : scanned.value())
    if (d.devnode == devnode) return d;
  return std::nullopt;
}

// Waits for the monitor to report `action` for `devnode`, up to 5 s.
std::optional<hr::DeviceEvent> awaitEvent(hr::Enumerator& e, hr::DeviceAction action,
                                          const std::string& devnode) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  std::vector<hr::DeviceEvent> events;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{e.monitorFd(), POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      events.clear();
      e.drainEvents(events);
      for (const auto& ev : events)
        if (ev.action == action && ev.device.devnode == devnode) return ev;
    }
  }
  return std::nullopt;
}

TEST(HidrawLayer, EnumerationFindsTheDeviceWithWindowsReportLengths) {
  vmtest::DeviceProcess device;
  ASSERT_TRUE(device.start()) << device.error();
  auto created = hr::Enumerator::create(kUpdateDevice);
  ASSERT_TRUE(created) << created.error().describe();
  const auto found = findNode(created.value(), device.node());
  ASSERT_TRUE(found.has_value()) << "the scan did not list " << device.node();
  EXPECT_EQ(found->id, (hr::HidId{0x03, 0xFFFF, 0x0100}));
  EXPECT_GE(found->identity, 1u);

  auto node = hr::Node::open(found->devnode, hr::OpenMode::ReadWrite);
  ASSERT_TRUE(node) << node.error().describe();
  const auto info = node.value().rawInfo();
  ASSERT_TRUE(info) << info.error().describe();
  EXPECT_EQ(info.value(), (hr::RawInfo{0x03, 0xFFFF, 0x0100}))
      << "the kernel's signed vendor id must read as 0xFFFF";
  const auto caps = node.value().capabilities();
  ASSERT_TRUE(caps) << caps.error().describe();
  EXPECT_EQ(caps.value().inputReportByteLength, 9);
  EXPECT_EQ(caps.value().outputReportByteLength, 9);
  EXPECT_EQ(caps.value().featureReportByteLength, 0);
  EXPECT_FALSE(caps.value().usesReportIds);
  EXPECT_EQ(caps.value().usagePage, 0xFF00);
  std::printf("[ hidraw   ] %s: input %u, output %u bytes\n", found->devnode.c_str(),
              caps.value().inputReportByteLength, caps.value().outputReportByteLength);

  // The access-0 handle gets the same answers from sysfs.
  auto query = hr::Node::open(found->devnode, hr::OpenMode::QueryOnly);
  ASSERT_TRUE(query) << query.error().describe();
  const auto queryInfo = query.value().rawInfo();
  ASSERT_TRUE(queryInfo) << queryInfo.error().describe();
  EXPECT_EQ(queryInfo.value(), info.value());
  const auto queryCaps = query.value().capabilities();
  ASSERT_TRUE(queryCaps) << queryCaps.error().describe();
  EXPECT_EQ(queryCaps.value(), caps.value());
}

TEST(HidrawLayer, NodeExchangesReportsInWindowsFramingAndSeesTheUnplug) {
  vmtest::DeviceProcess device;
  ASSERT_TRUE(device.start()) << device.error();
  auto opened = hr::Node::open(device.node(), hr::OpenMode::ReadWrite);
  ASSERT_TRUE(opened) << opened.error().describe();
  hr::Node& node = opened.value();

  std::uint8_t report[9] = {0x00};
  ASSERT_EQ(HostGenerateVersionCommand(report + 1, 8), 0);
  const auto written = node.write(report);
  ASSERT_EQ(written.status, nuv::IoStatus::Ok) << (written.error ? written.error->describe() : "");
  EXPECT_EQ(written.count, 9u);
  ASSERT_EQ(node.waitReadable(2000).status, nuv::IoStatus::Ok);
  std::uint8_t in[64];
  const auto read = node.readWithReportId(in, false);
  ASSERT_EQ(read.status, nuv::IoStatus::Ok);
  EXPECT_EQ(read.count, 9u) << "report-ID byte and 8 bytes";
  EXPECT_EQ(in[0], 0x00);
  EXPECT_EQ(in[1], kCmdVersion);

  device.unplug();
  const auto waited = node.waitReadable(5000);
  if (waited.status == nuv::IoStatus::Ok) {
    EXPECT_EQ(node.read(in).status, nuv::IoStatus::Gone);
  } else {
    EXPECT_EQ(waited.status, nuv::IoStatus::Gone);
  }
  EXPECT_EQ(node.write(report).status, nuv::IoStatus::Gone);
}

TEST(HidrawLayer, MonitorSeesTheDeviceArriveAndGo) {
  auto created = hr::Enumerator::create(kUpdateDevice);
  ASSERT_TRUE(created) << created.error().describe();
  hr::Enumerator& e = created.value();
  const auto started = e.startMonitor();
  ASSERT_FALSE(started) << started->describe();
  ASSERT_TRUE(e.scan());

  vmtest::DeviceProcess device;
  ASSERT_TRUE(device.start()) << device.error();
  const auto added = awaitEvent(e, hr::DeviceAction::Added, device.node());
  ASSERT_TRUE(added.has_value()) << "no arrival of " << device.node()
                                 << " (the udev monitor needs udevd running)";
  EXPECT_EQ(added->device.id, (hr::HidId{0x03, 0xFFFF, 0x0100}));

  device.unplug();
  const auto removed = awaitEvent(e, hr::DeviceAction::Removed, device.node());
  ASSERT_TRUE(removed.has_value()) << "no removal of " << device.node();
  EXPECT_EQ(removed->device.identity, added->device.identity);
  std::printf("[ hidraw   ] monitor: %s added and removed as identity %u\n", device.node().c_str(),
              added->device.identity);

  // Plugged again: the same /dev name, a new identity.
  vmtest::DeviceProcess again;
  ASSERT_TRUE(again.start()) << again.error();
  const auto readded = awaitEvent(e, hr::DeviceAction::Added, again.node());
  ASSERT_TRUE(readded.has_value());
  EXPECT_NE(readded->device.identity, added->device.identity);
}

// As the kernel makes it (no udev rule installed here), the node is root's alone: another user
// cannot open it for reading and writing but can still identify it.
TEST(HidrawLayer, AnotherUserIsRefusedTheNodeButMayIdentifyIt) {
  vmtest::DeviceProcess device;
  ASSERT_TRUE(device.start()) << device.error();
  struct stat st {};
  ASSERT_EQ(stat(device.node().c_str(), &st), 0);
  if ((st.st_mode & 0777) != 0600) {
    GTEST_SKIP() << "a udev rule of this machine opened the node to others (mode " << std::oct
                 << (st.st_mode & 0777) << ")";
  }

  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child reports in one line what it saw; gtest assertions stay in the parent.
    close(pipeFds[0]);
    std::string line;
    if (setgid(65534) != 0 || setuid(65534) != 0) {
      line = "setuid failed";
    } else {
      auto rw = hr::Node::open(device.node(), hr::OpenMode::ReadWrite);
      line = rw ? "opened" : rw.error().describe();
      auto query = hr::Node::open(device.node(), hr::OpenMode::QueryOnly);
      auto info = query ? query.value().rawInfo() : nuv::Result<hr::RawInfo>(query.error());
      line += info && info.value() == hr::RawInfo{0x03, 0xFFFF, 0x0100} ? "|identified"
                                                                        : "|not identified";
    }
    (void)!write(pipeFds[1], line.data(), line.size());
    _exit(0);
  }
  close(pipeFds[1]);
  char buf[512] = {};
  const ssize_t n = read(pipeFds[0], buf, sizeof buf - 1);
  close(pipeFds[0]);
  waitpid(child, nullptr, 0);
  const std::string seen(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
  std::printf("[ hidraw   ] as user 65534: %s\n", seen.c_str());
  EXPECT_NE(seen.find("open " + device.node() + ": Permission denied"), std::string::npos) << seen;
  EXPECT_NE(seen.find("|identified"), std::string::npos) << seen;
}

}  // namespace
