// The virtual HID bus: devices coming and going, connections, latency and threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/SimTestSupport.h"

namespace {

using namespace std::chrono_literals;
using nuv::IoStatus;

TEST(Bus, ListsDevicesInPlugOrderWithStableIdentities) {
  nuv::sim::VirtualBus bus;
  int changes = 0;
  const int id = bus.addChangeListener([&] { ++changes; });
  ASSERT_TRUE(bus.plug());
  ASSERT_TRUE(bus.plug(nuv::sim::DeviceInfo{.path = "sim:mouse", .productId = 0x0200}));
  auto list = bus.devices();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1].path, "sim:mouse");
  EXPECT_EQ(list[1].productId, 0x0200);
  EXPECT_NE(list[0].instanceId, list[1].instanceId);
  EXPECT_FALSE(bus.plug(nuv::sim::DeviceInfo{.path = "sim:mouse"})) << "a path is unique";

  auto device = bus.device(list[0].path);
  ASSERT_TRUE(bus.unplug(list[0].path));
  EXPECT_FALSE(bus.unplug(list[0].path));
  EXPECT_FALSE(bus.open(list[0].path));
  ASSERT_TRUE(bus.plug(device, list[0])) << "the same device plugged back keeps its identity";
  EXPECT_EQ(bus.devices().back().instanceId, list[0].instanceId);
  EXPECT_EQ(changes, 4);
  EXPECT_EQ(bus.changeCount(), 4u);
  bus.removeChangeListener(id);
  bus.unplug("sim:mouse");
  EXPECT_EQ(changes, 4);
}

TEST(Bus, RefusesWritesOfTheWrongLengthOrReportId) {
  nuv::sim::VirtualBus bus;
  bus.plug();
  auto c = bus.open(bus.devices()[0].path);
  auto report = simtest::simpleReport(HostGenerateLinkCommand);
  EXPECT_EQ(c->write(report.data(), 8), IoStatus::Failed);
  report[0] = 0x10;
  EXPECT_EQ(c->write(report.data(), 9), IoStatus::Failed) << "no report IDs: byte 0 must be 0";
  EXPECT_EQ(bus.device(c->info().path)->commandCount(), 0u);
}

TEST(Bus, PadsRepliesToTheInputReportLengthAndMarksReportIds) {
  nuv::sim::VirtualBus bus;
  bus.plug(
      nuv::sim::DeviceInfo{.path = "sim:wide", .inputReportLength = 65, .outputReportLength = 65});
  auto c = bus.open("sim:wide");
  std::array<std::uint8_t, 65> out{};
  (void)HostGenerateLinkCommand(out.data() + 1, 8);
  ASSERT_EQ(c->write(out.data(), out.size()), IoStatus::Ok);
  std::uint8_t in[80];
  std::size_t n = 0;
  ASSERT_EQ(c->read(in, sizeof in, &n, 0ms), IoStatus::Ok);
  EXPECT_EQ(n, 65u);
  EXPECT_EQ(in[0], 0x00);
  EXPECT_EQ(in[1], 0x10);

  bus.plug(nuv::sim::DeviceInfo{.path = "sim:ids", .usesReportIds = true});
  auto d = bus.open("sim:ids");
  auto report = simtest::simpleReport(HostGenerateVersionCommand);
  report[0] = 0x1C;
  ASSERT_EQ(d->write(report.data(), report.size()), IoStatus::Ok);
  ASSERT_EQ(d->read(in, sizeof in, &n, 0ms), IoStatus::Ok);
  EXPECT_EQ(in[0], nuv::sim::kInputReportId);
}

TEST(Bus, EveryOpenConnectionGetsItsOwnCopyAndFullQueuesDropTheOldest) {
  nuv::sim::VirtualBus bus;
  bus.plug();
  const auto path = bus.devices()[0].path;
  auto a = bus.open(path);
  auto b = bus.open(path);
  for (std::uint16_t i = 0; i < 70; ++i) {
    auto w = simtest::writeReport(static_cast<std::uint16_t>(i * 4), {1, 2, 3, 4});
    ASSERT_EQ(a->write(w.data(), w.size()), IoStatus::Ok);
  }
  std::uint8_t in[16];
  std::size_t n = 0;
  ASSERT_EQ(b->read(in, sizeof in, &n, 0ms), IoStatus::Ok);
  EXPECT_EQ(in[2], 6 * 4) << "the six oldest of 70 replies fell out of a 64-deep queue";
  int left = 1;
  while (a->read(in, sizeof in, &n, 0ms) == IoStatus::Ok) ++left;
  EXPECT_EQ(left, 65);
}

TEST(Bus, LatencyModelsDelayRepliesInTheBussTime) {
  nuv::ManualClock time;
  nuv::sim::VirtualBus bus(time);
  auto device = bus.plug(
      {}, nuv::sim::UpdateDeviceOptions{.latency = {nuv::sim::Latency::Model::Fixed, 2500us}});
  auto c = bus.open(bus.devices()[0].path);
  auto link = simtest::simpleReport(HostGenerateLinkCommand);
  std::uint8_t in[16];
  std::size_t n = 0;
  ASSERT_EQ(c->write(link.data(), link.size()), IoStatus::Ok);
  EXPECT_EQ(c->read(in, sizeof in, &n, 0ms), IoStatus::TimedOut);
  EXPECT_EQ(*c->nextReportAt() - time.now(), 2500us);
  time.advance(2499us);
  EXPECT_EQ(c->read(in, sizeof in, &n, 0ms), IoStatus::TimedOut);
  time.advance(1us);
  EXPECT_EQ(c->read(in, sizeof in, &n, 0ms), IoStatus::Ok);

  device->setLatency({nuv::sim::Latency::Model::UsbFrame, {}});
  time.advance(300us);
  ASSERT_EQ(c->write(link.data(), link.size()), IoStatus::Ok);
  const auto wait = *c->nextReportAt() - time.now();
  EXPECT_GT(wait, 0us);
  EXPECT_LE(wait, 1000us);
  EXPECT_EQ(
      (c->nextReportAt()->time_since_epoch() - (time.now() - 300us - 2500us).time_since_epoch()) %
          1ms,
      0us)
      << "replies land on 1 ms frame boundaries of the bus";
}

// The reply waits for the bus's clock, which only the test moves; the reader's time-out is its
// own real-time wait, so that a host thread polling in slices gets control back.
TEST(Bus, OnAVirtualClockTheReplyWaitsForTheClockAndTheTimeOutIsRealTime) {
  nuv::ManualClock time;
  nuv::sim::VirtualBus bus(time);
  bus.plug({}, nuv::sim::UpdateDeviceOptions{.latency = {nuv::sim::Latency::Model::Fixed, 1ms}});
  auto c = bus.open(bus.devices()[0].path);
  auto link = simtest::simpleReport(HostGenerateLinkCommand);
  ASSERT_EQ(c->write(link.data(), link.size()), IoStatus::Ok);
  std::uint8_t first[16];
  std::size_t length = 0;
  EXPECT_EQ(c->read(first, sizeof first, &length, 20ms), IoStatus::TimedOut);
  EXPECT_TRUE(c->nextReportAt().has_value());
  std::atomic<IoStatus> result{IoStatus::Failed};
  std::thread reader([&] {
    std::uint8_t in[16];
    std::size_t n = 0;
    result = c->read(in, sizeof in, &n, 60s);
  });
  time.advance(1ms);
  bus.timeAdvanced();
  reader.join();
  EXPECT_EQ(result.load(), IoStatus::Ok);
}

TEST(Bus, UnplugWakesABlockedReaderAndTellsTheListener) {
  nuv::sim::VirtualBus bus;
  bus.plug();
  const auto path = bus.devices()[0].path;
  auto c = bus.open(path);
  std::atomic<int> told{0};
  c->setListener([&] { ++told; });
  std::atomic<IoStatus> result{IoStatus::Ok};
  std::thread reader([&] {
    std::uint8_t in[16];
    std::size_t n = 0;
    result = c->read(in, sizeof in, &n, 60s);
  });
  while (told.load() == 0 && bus.unplug(path) == false) std::this_thread::yield();
  reader.join();
  EXPECT_EQ(result.load(), IoStatus::Gone);
  EXPECT_EQ(told.load(), 1);
  auto link = simtest::simpleReport(HostGenerateLinkCommand);
  EXPECT_EQ(c->write(link.data(), link.size()), IoStatus::Gone);
}

TEST(Bus, CancelEndsOnlyAReadThatIsBlocked) {
  nuv::sim::VirtualBus bus;
  bus.plug();
  auto c = bus.open(bus.devices()[0].path);
  c->cancel();  // nothing pending: no effect on the next read
  std::uint8_t in[16];
  std::size_t n = 0;
  EXPECT_EQ(c->read(in, sizeof in, &n, 0ms), IoStatus::TimedOut);
  std::atomic<IoStatus> result{IoStatus::Ok};
  std::atomic<bool> started{false};
  std::thread reader([&] {
    std::uint8_t buf[16];
    std::size_t len = 0;
    started = true;
    result = c->read(buf, sizeof buf, &len, 60s);
  });
  while (!started) std::this_thread::yield();
  while (result.load() == IoStatus::Ok) {
    c->cancel();
    std::this_thread::sleep_for(1ms);
  }
  reader.join();
  EXPECT_EQ(result.load(), IoStatus::Cancelled);
}

TEST(Bus, AnUnplugFaultIsAnnouncedFromAnotherThread) {
  nuv::sim::VirtualBus bus;
  auto device = bus.plug();
  device->addFault(nuv::sim::parseFault("unplug@#1").value());
  std::atomic<bool> announced{false};
  std::atomic<std::thread::id> announcer{};
  bus.addChangeListener([&] {
    announcer = std::this_thread::get_id();
    announced = true;
  });
  auto c = bus.open(bus.devices()[0].path);
  auto link = simtest::simpleReport(HostGenerateLinkCommand);
  ASSERT_EQ(c->write(link.data(), link.size()), IoStatus::Ok);
  EXPECT_TRUE(bus.devices().empty()) << "gone at once";
  while (!announced) std::this_thread::yield();
  EXPECT_NE(announcer.load(), std::this_thread::get_id());
}

TEST(Bus, AReaderThreadAndAWriterThreadRunAStopAndWaitExchange) {
  nuv::sim::VirtualBus bus;
  auto device = bus.plug(
      {}, nuv::sim::UpdateDeviceOptions{.latency = {nuv::sim::Latency::Model::Fixed, 20us}});
  auto c = bus.open(bus.devices()[0].path);
  constexpr int kExchanges = 2000;
  std::atomic<int> received{0};
  std::thread reader([&] {
    std::uint8_t in[16];
    std::size_t n = 0;
    while (received < kExchanges) {
      if (c->read(in, sizeof in, &n, 1s) == IoStatus::Ok) received.fetch_add(1);
    }
  });
  for (int i = 0; i < kExchanges; ++i) {
    auto w = simtest::writeReport(static_cast<std::uint16_t>(i * 4),
                                  {1, 2, 3, static_cast<std::uint8_t>(i)});
    ASSERT_EQ(c->write(w.data(), w.size()), IoStatus::Ok);
    while (received.load() <= i) std::this_thread::yield();
  }
  reader.join();
  EXPECT_EQ(device->repliesOverlapped(), 0u);
  EXPECT_EQ(device->countOf(kCmdWrite), static_cast<std::uint32_t>(kExchanges));
  EXPECT_EQ(device->memory()[4 * 1999 + 3], static_cast<std::uint8_t>(1999));
}

}  // namespace
