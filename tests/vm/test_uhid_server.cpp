// The uhid presentation of the emulated update device, driven without a kernel: one end of a
// SOCK_SEQPACKET socket pair plays /dev/uhid, the test holds the other end and plays the
// kernel, and keeps the clock for the latency model.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "protocol/HIDProto.h"
#include "sim/uhid/Emulator.h"
#include "sim/uhid/UhidServer.h"

namespace {

using namespace std::chrono_literals;
using nuv::Clock;
using nuv::sim::uhid::Server;

constexpr std::size_t kHeader = offsetof(uhid_event, u);

class FakeKernel : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    kernel_ = fds[1];
    device_ = std::make_shared<nuv::sim::UpdateDevice>(options_);
    server_ = std::make_unique<Server>(nuv::sim::uhid::Channel::adopt(fds[0]), device_);
  }
  void TearDown() override { ::close(kernel_); }

  // What the kernel hands over for a hidraw write of these bytes.
  void hostWrites(const std::uint8_t* bytes, std::size_t len) {
    uhid_event ev{};
    ev.type = UHID_OUTPUT;
    ev.u.output.size = static_cast<std::uint16_t>(len);
    ev.u.output.rtype = UHID_OUTPUT_REPORT;
    std::memcpy(ev.u.output.data, bytes, len);
    ASSERT_EQ(write(kernel_, &ev, sizeof ev), static_cast<ssize_t>(sizeof ev));
  }
  void hostWritesCommand(std::uint8_t (&command)[8]) {
    std::uint8_t framed[9] = {0x00};
    std::memcpy(framed + 1, command, 8);
    hostWrites(framed, 9);
  }
  // The next event the server wrote to the kernel, if any.
  bool nextFromDevice(uhid_event& ev, ssize_t* length = nullptr) {
    std::memset(&ev, 0, sizeof ev);
    const ssize_t n = read(kernel_, &ev, sizeof ev);
    if (length) *length = n;
    return n > 0;
  }
  // Feeds an event straight to the server at a time of the test's choosing.
  Server::Step deliver(const uhid_event& ev, Clock::time_point at) {
    return server_->handle(ev, at);
  }
  static uhid_event output(std::uint8_t (&command)[8]) {
    uhid_event ev{};
    ev.type = UHID_OUTPUT;
    ev.u.output.rtype = UHID_OUTPUT_REPORT;
    ev.u.output.size = 9;
    std::memcpy(ev.u.output.data + 1, command, 8);
    return ev;
  }

  nuv::sim::UpdateDeviceOptions options_;
  int kernel_ = -1;
  std::shared_ptr<nuv::sim::UpdateDevice> device_;
  std::unique_ptr<Server> server_;
};

// Walks the report descriptor item by item, as the kernel's parser does.
TEST(UhidIdentity, ReportDescriptorIsWellFormedWithEightByteReportsAndNoReportIds) {
  const auto& d = nuv::sim::uhid::kReportDescriptor;
  unsigned reportSize = 0, reportCount = 0, inputBits = 0, outputBits = 0;
  int depth = 0;
  bool reportId = false;
  for (std::size_t i = 0; i < d.size();) {
    const std::uint8_t prefix = d[i];
    const std::size_t dataLen = (prefix & 3) == 3 ? 4 : (prefix & 3);
    ASSERT_LE(i + 1 + dataLen, d.size()) << "item at " << i << " runs past the end";
    unsigned value = 0;
    for (std::size_t k = 0; k < dataLen; ++k) value |= unsigned(d[i + 1 + k]) << (8 * k);
    switch (prefix & 0xFC) {
      case 0x74:
        reportSize = value;
        break;
      case 0x94:
        reportCount = value;
        break;
      case 0x84:
        reportId = true;
        break;
      case 0x80:
        inputBits += reportSize * reportCount;
        break;
      case 0x90:
        outputBits += reportSize * reportCount;
        break;
      case 0xA0:
        ++depth;
        break;
      case 0xC0:
        --depth;
        break;
      case 0x00:
        ADD_FAILURE() << "item 0x00 (no main item) at " << i;
        break;
      default:
        break;
    }
    i += 1 + dataLen;
  }
  EXPECT_EQ(depth, 0);
  EXPECT_FALSE(reportId);
  EXPECT_EQ(inputBits, 64u);
  EXPECT_EQ(outputBits, 64u);
  EXPECT_EQ(d.back(), 0xC0);
}

TEST(UhidNormalise, DropsTheReportIdByteAsTheUsbDriverWouldAndKeepsEightBytes) {
  std::array<std::uint8_t, 9> frame{};
  const std::uint8_t withId[9] = {0x00, 0x10, 1, 2, 3, 4, 5, 6, 7};
  ASSERT_EQ(nuv::sim::uhid::ReportEngine::normaliseOutput(withId, 9, false, frame), 9u);
  EXPECT_EQ(frame, (std::array<std::uint8_t, 9>{0x00, 0x10, 1, 2, 3, 4, 5, 6, 7}));

  const std::uint8_t bare[8] = {0x10, 1, 2, 3, 4, 5, 6, 7};
  ASSERT_EQ(nuv::sim::uhid::ReportEngine::normaliseOutput(bare, 8, false, frame), 9u);
  EXPECT_EQ(frame, (std::array<std::uint8_t, 9>{0x00, 0x10, 1, 2, 3, 4, 5, 6, 7}));

  // Padded past the report length: only the report's 8 bytes reach the device.
  const std::uint8_t padded[12] = {0x00, 0x18, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  ASSERT_EQ(nuv::sim::uhid::ReportEngine::normaliseOutput(padded, 12, false, frame), 9u);
  EXPECT_EQ(frame[8], 7);

  // The USB gadget path: the kernel already dropped the report ID; a leading 0 is data.
  const std::uint8_t stripped[8] = {0x00, 1, 2, 3, 4, 5, 6, 7};
  ASSERT_EQ(nuv::sim::uhid::ReportEngine::normaliseOutput(stripped, 8, true, frame), 9u);
  EXPECT_EQ(frame[1], 0x00);
  EXPECT_EQ(frame[2], 1);

  const std::uint8_t shortWrite[4] = {0x00, 0x1C, 0, 0};
  EXPECT_EQ(nuv::sim::uhid::ReportEngine::normaliseOutput(shortWrite, 4, false, frame), 4u);
  // An empty write: the report-ID byte alone, nothing copied from the (absent) bytes.
  EXPECT_EQ(nuv::sim::uhid::ReportEngine::normaliseOutput(nullptr, 0, false, frame), 1u);
}

TEST_F(FakeKernel, CreatesTheDeviceWithTheRealIdentity) {
  nuv::sim::uhid::Identity id;
  id.uniq = "unit-1";
  ASSERT_FALSE(server_->create(id));
  uhid_event ev{};
  ASSERT_TRUE(nextFromDevice(ev));
  ASSERT_EQ(ev.type, UHID_CREATE2);
  EXPECT_EQ(ev.u.create2.vendor, 0xFFFFu);
  EXPECT_EQ(ev.u.create2.product, 0x0100u);
  EXPECT_EQ(ev.u.create2.bus, 0x03);
  EXPECT_STREQ(reinterpret_cast<const char*>(ev.u.create2.uniq), "unit-1");
  EXPECT_STREQ(reinterpret_cast<const char*>(ev.u.create2.name), "Nuv update device (emulated)");
  ASSERT_EQ(ev.u.create2.rd_size, nuv::sim::uhid::kReportDescriptor.size());
  EXPECT_EQ(0, std::memcmp(ev.u.create2.rd_data, nuv::sim::uhid::kReportDescriptor.data(),
                           nuv::sim::uhid::kReportDescriptor.size()));
}

TEST_F(FakeKernel, AnswersAWriteWithItsEchoAsAnEightByteInputReport) {
  ASSERT_FALSE(server_->create({}));
  uhid_event ev{};
  ASSERT_TRUE(nextFromDevice(ev));  // CREATE2

  std::uint8_t cmd[8];
  const std::uint8_t data[4] = {0xDE, 0xAD, 0xBE, 0xEF};
  ASSERT_EQ(HostGenerateWriteCommand(cmd, 8, 0x1234, data), 0);
  hostWritesCommand(cmd);
  EXPECT_EQ(server_->runOnce(-1, 100ms), Server::Step::Handled);

  ssize_t n = 0;
  ASSERT_TRUE(nextFromDevice(ev, &n));
  ASSERT_EQ(ev.type, UHID_INPUT2);
  EXPECT_EQ(static_cast<std::size_t>(n), kHeader + offsetof(uhid_input2_req, data) + 8)
      << "an input event carries only the report's bytes";
  ASSERT_EQ(ev.u.input2.size, 8);
  EXPECT_EQ(0, std::memcmp(ev.u.input2.data, cmd, 7));
  EXPECT_EQ(device_->memory()[0x1234], 0xDE);
  EXPECT_EQ(device_->commands().at(0).rawLength, 9) << "the device sees the Windows framing";
  EXPECT_EQ(server_->stats().repliesSent, 1u);
}

TEST_F(FakeKernel, FaultsShapeWhatTheKernelIsSent) {
  device_->addFault({nuv::sim::FaultKind::NoReply, {nuv::sim::Trigger::Kind::AtCommand, 1}});
  device_->addFault({nuv::sim::FaultKind::Duplicate, {nuv::sim::Trigger::Kind::AtCommand, 2}});
  device_->addFault({nuv::sim::FaultKind::WriteFailure, {nuv::sim::Trigger::Kind::AtCommand, 3}});
  device_->addFault({nuv::sim::FaultKind::ShortReport, {nuv::sim::Trigger::Kind::AtCommand, 3}});
  std::uint8_t version[8];
  ASSERT_EQ(HostGenerateVersionCommand(version, 8), 0);
  const auto t = nuv::realClock().now();
  uhid_event ev{};

  ASSERT_EQ(deliver(output(version), t), Server::Step::Handled);  // #1 no reply
  EXPECT_EQ(server_->sendDue(t), Server::Step::Idle);
  EXPECT_FALSE(nextFromDevice(ev));

  ASSERT_EQ(deliver(output(version), t), Server::Step::Handled);  // #2 twice
  EXPECT_EQ(server_->sendDue(t), Server::Step::Handled);
  EXPECT_TRUE(nextFromDevice(ev));
  EXPECT_TRUE(nextFromDevice(ev));
  EXPECT_FALSE(nextFromDevice(ev));

  // #3 write failure: the kernel took the write already; the command is lost, no reply.
  ASSERT_EQ(deliver(output(version), t), Server::Step::Handled);
  EXPECT_EQ(server_->sendDue(t), Server::Step::Idle);
  EXPECT_EQ(server_->stats().commandsLost, 1u);

  device_->addFault(
      {nuv::sim::FaultKind::ShortReport, {nuv::sim::Trigger::Kind::AtCode, kCmdVersion}});
  ASSERT_EQ(deliver(output(version), t), Server::Step::Handled);  // short
  ASSERT_EQ(server_->sendDue(t), Server::Step::Handled);
  ASSERT_TRUE(nextFromDevice(ev));
  EXPECT_EQ(ev.u.input2.size, 5);
}

TEST_F(FakeKernel, UnplugFaultDestroysTheKernelDevice) {
  ASSERT_FALSE(server_->create({}));
  uhid_event ev{};
  ASSERT_TRUE(nextFromDevice(ev));
  device_->addFault({nuv::sim::FaultKind::Unplug, {nuv::sim::Trigger::Kind::AtCode, kCmdFormat}});
  std::uint8_t format[8];
  ASSERT_EQ(HostGenerateFormatCommand(format, 8), 0);
  EXPECT_EQ(deliver(output(format), nuv::realClock().now()), Server::Step::Unplugged);
  ASSERT_TRUE(nextFromDevice(ev));
  EXPECT_EQ(ev.type, UHID_DESTROY);
  EXPECT_FALSE(server_->created());
  EXPECT_FALSE(server_->unplug()) << "a second unplug is harmless";
  EXPECT_FALSE(nextFromDevice(ev)) << "and sends nothing";
}

TEST_F(FakeKernel, RepliesWaitForTheLatencyAndNeverOvertakeALateOne) {
  device_->setLatency({nuv::sim::Latency::Model::Fixed, std::chrono::microseconds(5000)});
  device_->addFault(
      {nuv::sim::FaultKind::LateReply, {nuv::sim::Trigger::Kind::AtCommand, 1}, 100ms});
  std::uint8_t link[8], version[8];
  ASSERT_EQ(HostGenerateLinkCommand(link, 8), 0);
  ASSERT_EQ(HostGenerateVersionCommand(version, 8), 0);
  const auto t = nuv::realClock().now();
  uhid_event ev{};

  ASSERT_EQ(deliver(output(link), t), Server::Step::Handled);           // due t + 105 ms
  ASSERT_EQ(deliver(output(version), t + 1ms), Server::Step::Handled);  // due t + 6 ms
  EXPECT_EQ(server_->nextDue(), t + 105ms);
  EXPECT_EQ(server_->sendDue(t + 104ms), Server::Step::Idle);
  EXPECT_FALSE(nextFromDevice(ev)) << "the version reply overtook the late link reply";
  EXPECT_EQ(server_->sendDue(t + 105ms), Server::Step::Handled);
  ASSERT_TRUE(nextFromDevice(ev));
  EXPECT_EQ(ev.u.input2.data[0], kCmdLink);
  ASSERT_TRUE(nextFromDevice(ev));
  EXPECT_EQ(ev.u.input2.data[0], kCmdVersion);
}

TEST_F(FakeKernel, UsbFrameLatencyAnswersAtTheNextMillisecond) {
  ASSERT_FALSE(server_->create({}));  // the frame clock starts here
  const auto created = nuv::realClock().now();
  device_->setLatency({nuv::sim::Latency::Model::UsbFrame, {}});
  std::uint8_t link[8];
  ASSERT_EQ(HostGenerateLinkCommand(link, 8), 0);
  ASSERT_EQ(deliver(output(link), created + 2500us), Server::Step::Handled);
  const auto due = server_->nextDue();
  ASSERT_TRUE(due.has_value());
  EXPECT_GT(*due, created + 2500us);
  EXPECT_LE(*due, created + 3500us);
}

TEST_F(FakeKernel, RefusesFeatureRequestsSoThatNoHostIoctlHangs) {
  uhid_event ev{};
  ev.type = UHID_GET_REPORT;
  ev.u.get_report.id = 77;
  ASSERT_EQ(deliver(ev, nuv::realClock().now()), Server::Step::Handled);
  ASSERT_TRUE(nextFromDevice(ev));
  EXPECT_EQ(ev.type, UHID_GET_REPORT_REPLY);
  EXPECT_EQ(ev.u.get_report_reply.id, 77u);
  EXPECT_NE(ev.u.get_report_reply.err, 0);

  ev = {};
  ev.type = UHID_SET_REPORT;
  ev.u.set_report.id = 78;
  ASSERT_EQ(deliver(ev, nuv::realClock().now()), Server::Step::Handled);
  ASSERT_TRUE(nextFromDevice(ev));
  EXPECT_EQ(ev.type, UHID_SET_REPORT_REPLY);
  EXPECT_EQ(ev.u.set_report_reply.id, 78u);
  EXPECT_EQ(device_->commandCount(), 0u) << "a feature report is no command";
}

TEST_F(FakeKernel, ClosedChannelEndsTheServer) {
  ::close(kernel_);
  kernel_ = ::dup(0);  // keep TearDown's close harmless
  EXPECT_EQ(server_->runOnce(-1, 100ms), Server::Step::Closed);
}

// emulate --count N: one thread, one ppoll, N kernels. Each host's command is answered on
// its own channel and by its own device; a device that is gone (a null entry) is not served,
// and a device's unplug fault leaves the others served.
TEST(UhidServedTogether, EachKernelGetsItsOwnDevicesReplies) {
  struct Pair {
    int kernel = -1;
    std::shared_ptr<nuv::sim::UpdateDevice> device;
    std::unique_ptr<Server> server;
  };
  std::array<Pair, 3> pairs;
  for (Pair& p : pairs) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    p.kernel = fds[1];
    p.device = std::make_shared<nuv::sim::UpdateDevice>(nuv::sim::UpdateDeviceOptions{});
    p.server = std::make_unique<Server>(nuv::sim::uhid::Channel::adopt(fds[0]), p.device);
  }
  pairs[2].device->addFault({nuv::sim::FaultKind::Unplug, {nuv::sim::Trigger::Kind::AtCommand, 1}});
  ASSERT_FALSE(pairs[2].server->create({}));  // so that the unplug has a device to destroy
  uhid_event ev{};
  ASSERT_GT(read(pairs[2].kernel, &ev, sizeof ev), 0);

  auto writeTo = [](int kernel, std::uint16_t address, std::uint8_t value) {
    std::uint8_t cmd[8];
    const std::uint8_t data[4] = {value, value, value, value};
    ASSERT_EQ(HostGenerateWriteCommand(cmd, 8, address, data), 0);
    uhid_event out{};
    out.type = UHID_OUTPUT;
    out.u.output.rtype = UHID_OUTPUT_REPORT;
    out.u.output.size = 9;
    std::memcpy(out.u.output.data + 1, cmd, 8);
    ASSERT_EQ(write(kernel, &out, sizeof out), static_cast<ssize_t>(sizeof out));
  };
  writeTo(pairs[0].kernel, 0x0100, 0x11);
  writeTo(pairs[1].kernel, 0x0200, 0x22);
  writeTo(pairs[2].kernel, 0x0300, 0x33);

  std::array<nuv::sim::uhid::Serving*, 3> members = {pairs[0].server.get(), nullptr,
                                                     pairs[2].server.get()};
  std::array<nuv::sim::uhid::ServeStep, 3> steps{};
  std::array<pollfd, 4> polls{};
  nuv::Error error;
  EXPECT_EQ(nuv::sim::uhid::serveTogether(members, steps, -1, 100ms, polls, &error),
            nuv::sim::uhid::ServeStep::Idle);
  EXPECT_EQ(steps[0], nuv::sim::uhid::ServeStep::Handled);
  EXPECT_EQ(steps[1], nuv::sim::uhid::ServeStep::Idle) << "a device that is gone is not served";
  EXPECT_EQ(steps[2], nuv::sim::uhid::ServeStep::Unplugged);
  EXPECT_EQ(pairs[0].device->memory()[0x0100], 0x11);
  EXPECT_EQ(pairs[1].device->commandCount(), 0u);

  ASSERT_GT(read(pairs[0].kernel, &ev, sizeof ev), 0);
  ASSERT_EQ(ev.type, UHID_INPUT2);
  EXPECT_EQ(ev.u.input2.data[2], 0x01) << "the reply echoes its own device's address";
  EXPECT_LT(read(pairs[1].kernel, &ev, sizeof ev), 0) << "no reply where nobody served";
  ASSERT_GT(read(pairs[2].kernel, &ev, sizeof ev), 0);
  EXPECT_EQ(ev.type, UHID_DESTROY);

  // Served again, device 2 answers the write that waited for it.
  members[1] = pairs[1].server.get();
  members[2] = nullptr;
  EXPECT_EQ(nuv::sim::uhid::serveTogether(members, steps, -1, 100ms, polls, &error),
            nuv::sim::uhid::ServeStep::Idle);
  EXPECT_EQ(steps[1], nuv::sim::uhid::ServeStep::Handled);
  EXPECT_EQ(pairs[1].device->memory()[0x0200], 0x22);
  for (Pair& p : pairs) ::close(p.kernel);
}

TEST(UhidEmulator, NumbersTheFilesOfSeveralDevicesBeforeTheExtension) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"memory.bin", "memory-3.bin"},
      {"out/memory.bin", "out/memory-3.bin"},
      {"/tmp/run.1/memory", "/tmp/run.1/memory-3"},
      {"image.tar.gz", "image.tar-3.gz"},
      {".bin", ".bin-3"},
  };
  for (const auto& [path, numbered] : cases)
    EXPECT_EQ(nuv::sim::uhid::numberedFile(path, 3), numbered) << path;
}

TEST(UhidReplyQueue, DropsTheOldestWhenFull) {
  nuv::sim::uhid::ReplyQueue q;
  const auto t = nuv::realClock().now();
  for (std::size_t i = 0; i < nuv::sim::uhid::ReplyQueue::kCapacity; ++i) {
    nuv::sim::uhid::PendingReply r;
    r.bytes[0] = static_cast<std::uint8_t>(i);
    r.due = t;
    EXPECT_FALSE(q.push(r));
  }
  nuv::sim::uhid::PendingReply extra;
  extra.bytes[0] = 0xEE;
  extra.due = t;
  EXPECT_TRUE(q.push(extra));
  nuv::sim::uhid::PendingReply out;
  ASSERT_TRUE(q.popDue(t, out));
  EXPECT_EQ(out.bytes[0], 1) << "report 0 was the one dropped";
  EXPECT_EQ(q.size(), nuv::sim::uhid::ReplyQueue::kCapacity - 1);
}

TEST(UhidChannel, SaysWhatToDoWhenThereIsNoUhid) {
  auto opened = nuv::sim::uhid::Channel::open("/nonexistent/uhid");
  ASSERT_FALSE(opened.ok());
  const std::string text = opened.error().describe();
  EXPECT_NE(text.find("open /nonexistent/uhid"), std::string::npos) << text;
  EXPECT_NE(text.find("modprobe uhid"), std::string::npos) << text;
}

TEST(UhidEmulator, RunFailsCleanlyWithoutUhid) {
  nuv::sim::uhid::EmulatorOptions options;
  options.uhidPath = "/nonexistent/uhid";
  std::ostringstream out, err;
  EXPECT_EQ(nuv::sim::uhid::runEmulator(options, out, err), 1);
  EXPECT_NE(err.str().find("cannot present the device"), std::string::npos) << err.str();
}

TEST(UhidEmulator, ParsesItsArgumentsAndNamesTheOneThatIsWrong) {
  using Args = std::vector<std::string_view>;
  auto parse = [](Args a) { return nuv::sim::uhid::parseEmulatorArguments(a); };
  auto ok = parse({"--fault", "no-reply@#3", "--fault=late:200@write+", "--latency-ms", "2",
                   "--version", "2.00", "--memory-out", "m.bin"});
  ASSERT_TRUE(ok.ok()) << ok.error().text;
  const auto& o = ok.value();
  ASSERT_EQ(o.device.faults.size(), 2u);
  EXPECT_EQ(o.device.faults[1].kind, nuv::sim::FaultKind::LateReply);
  EXPECT_TRUE(o.device.faults[1].repeat);
  EXPECT_EQ(o.device.latency.model, nuv::sim::Latency::Model::Fixed);
  EXPECT_EQ(o.device.latency.fixed, std::chrono::microseconds(2000));
  EXPECT_EQ(o.device.version, "2.00");
  EXPECT_EQ(o.memoryFile, "m.bin");

  auto problem = [&](Args a) {
    auto r = parse(a);
    return r.ok() ? std::string() : r.error().text;
  };
  EXPECT_NE(problem({"--fault", "sparks@#1"}).find("--fault sparks@#1"), std::string::npos);
  EXPECT_NE(problem({"--latency-ms", "-4"}).find("--latency-ms"), std::string::npos);
  EXPECT_NE(problem({"--latency-ms", "5x"}).find("'5x'"), std::string::npos);
  EXPECT_NE(problem({"--version", "12345"}).find("at most 4"), std::string::npos);
  EXPECT_NE(problem({"--memory-out"}).find("needs a value"), std::string::npos);
  EXPECT_NE(problem({"--usb-frames=1"}).find("takes no value"), std::string::npos);
  EXPECT_NE(problem({"--frobnicate"}).find("unknown argument '--frobnicate'"), std::string::npos);
}

TEST(UhidEmulator, FindsItsHidrawNodeByUniqInSysfs) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("nuv-sysfs-" + std::to_string(getpid()));
  for (auto [node, uniq] : {std::pair{"hidraw0", "someone-else"}, std::pair{"hidraw3", "mine"}}) {
    fs::create_directories(root / "class/hidraw" / node / "device");
    std::ofstream(root / "class/hidraw" / node / "device/uevent")
        << "DRIVER=hid-generic\nHID_ID=0003:0000FFFF:00000100\nHID_NAME=x\nHID_UNIQ=" << uniq
        << "\n";
  }
  const auto found = nuv::sim::uhid::hidrawNodeForUniq("mine", root.string());
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->path, "/dev/hidraw3");
  EXPECT_EQ(found->hidId, "0003:0000FFFF:00000100");
  EXPECT_FALSE(nuv::sim::uhid::hidrawNodeForUniq("min", root.string()).has_value());
  fs::remove_all(root);
}

TEST(UhidEmulator, MemoryFileIsWholeOrNotThere) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("nuv-mem-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::vector<std::uint8_t> memory(0x10000, 0xA5);
  ASSERT_FALSE(nuv::sim::uhid::writeMemoryFile((dir / "m.bin").string(), memory));
  EXPECT_EQ(fs::file_size(dir / "m.bin"), 0x10000u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1)
      << "the temporary file is gone";
  const auto error = nuv::sim::uhid::writeMemoryFile((dir / "missing/m.bin").string(), memory);
  ASSERT_TRUE(error.has_value());
  EXPECT_NE(error->describe().find("mkstemp"), std::string::npos) << error->describe();
  fs::remove_all(dir);
}

}  // namespace
