// Runs inside the test VM: the vornex-cli program itself, as a person or a script runs it,
// against the kernel's hidraw node of the uhid device. list, version, both download flows with
// the device's memory compared with the image, verify, the faults of the emulated bus through
// the real kernel, a node closed to the user, and `vornex-cli emulate` as the device that a
// second vornex-cli process updates.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "protocol/UpdateImage.h"
#include "sim/UpdateDevice.h"
#include "tests/test_cli_process.h"
#include "tests/vm/GuestSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kSetpriv = "/usr/bin/setpriv";
constexpr const char* kNobody = "65534";

// The emulated device's memory as it was before any Format: its "old firmware".
bool memoryIsUntouched(const std::vector<std::uint8_t>& memory) {
  const std::uint8_t old = nuv::sim::UpdateDeviceOptions{}.initialFill;
  return memory.size() == 0x10000u &&
         std::all_of(memory.begin(), memory.end(), [old](std::uint8_t b) { return b == old; });
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string firstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

std::vector<std::uint8_t> readBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class CliProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           (std::string("vm-cli-program-") +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    // Open to the other user of the permission tests, who must be able to read the image.
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    firmware_.resize(nuv::image::kFirmwareSize);
    std::mt19937 random(31);
    for (auto& b : firmware_) b = static_cast<std::uint8_t>(random());
    const std::string header = "V1.01 vm image  ";
    std::copy(header.begin(), header.end(), firmware_.begin());
    const auto image = nuv::image::pack(firmware_, 0xEE);
    image_ = (dir_ / "image.nuv").string();
    std::ofstream(image_, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    ::chmod(image_.c_str(), 0644);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // A directory of its own for each child's output, so that two children can run at once.
  fs::path childDir() {
    const fs::path d = dir_ / ("run-" + std::to_string(runs_++));
    fs::create_directory(d);
    return d;
  }
  // vornex-cli to its end; `asNobody` runs it as user 65534, to whom root's nodes are closed.
  clitest::Run cli(const std::vector<std::string>& args, bool asNobody = false) {
    if (!asNobody) return clitest::run(childDir(), args);
    std::vector<std::string> wrapped = {std::string("--reuid=") + kNobody,
                                        std::string("--regid=") + kNobody, "--clear-groups",
                                        VORNEX_CLI};
    wrapped.insert(wrapped.end(), args.begin(), args.end());
    clitest::Child child(childDir(), wrapped, kSetpriv);
    return child.wait();
  }
  // The device's memory after an update: the image's firmware, and above it `above` (0xFF,
  // erased, after the strict flow; 0x00 after the echo flow, which writes zeros there).
  void expectMemoryHoldsTheImage(const std::vector<std::uint8_t>& memory, std::uint8_t above) {
    ASSERT_EQ(memory.size(), 0x10000u);
    const auto differs = std::mismatch(firmware_.begin(), firmware_.end(), memory.begin());
    EXPECT_TRUE(differs.first == firmware_.end())
        << "device memory differs from the image's firmware at 0x" << std::hex
        << (differs.first - firmware_.begin());
    EXPECT_TRUE(std::all_of(memory.begin() + nuv::image::kFirmwareSize, memory.end(),
                            [above](std::uint8_t b) { return b == above; }))
        << "addresses above the firmware should hold " << int(above);
  }

  fs::path dir_;
  std::string image_;
  std::vector<std::uint8_t> firmware_;
  int runs_ = 0;
};

TEST_F(CliProgram, ListVersionStrictDownloadAndVerify) {
  vmtest::DeviceProcess device;
  ASSERT_TRUE(device.start()) << device.error();

  const auto list = cli({"list"});
  std::printf("%s", list.out.c_str());
  EXPECT_EQ(list.exitCode, 0) << list.out << list.err;
  EXPECT_TRUE(contains(list.out, device.node() + " ")) << list.out;
  EXPECT_TRUE(contains(list.out, "ffff:0100  can be opened")) << list.out;

  const auto version = cli({"version", "--device", device.node()});
  EXPECT_EQ(version.exitCode, 0) << version.out << version.err;
  EXPECT_TRUE(contains(version.out, "Version:1.01")) << version.out;
  // A link to the node, as a udev rule may make one, names the same device.
  const fs::path link = dir_ / "nuv-updater";
  fs::create_symlink(device.node(), link);
  const auto byLink = cli({"version", "--device", link.string()});
  EXPECT_EQ(byLink.exitCode, 0) << byLink.out << byLink.err;
  EXPECT_TRUE(contains(byLink.out, "Version:1.01")) << byLink.out;
  const auto listByLink = cli({"list", "--device", link.string()});
  EXPECT_TRUE(contains(listByLink.out, device.node() + " ")) << listByLink.out << listByLink.err;

  const auto fresh = cli({"verify", image_, "--device", device.node()});
  EXPECT_EQ(fresh.exitCode, 8) << "a fresh device holds no image\n" << fresh.out << fresh.err;

  const auto download = cli({"download", image_, "--device", device.node()});
  EXPECT_EQ(download.exitCode, 0) << download.out << download.err;
  for (const char* step : {"Link...", "Get version...", "Erase...", "Writing Data...",
                           "Writing All...", "Update Completed"})
    EXPECT_TRUE(contains(download.out, step)) << step << "\n" << download.out;
  EXPECT_EQ(download.err, "");

  const auto verify = cli({"verify", image_, "--device", device.node()});
  EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;

  ASSERT_EQ(device.stop(), 0);
  expectMemoryHoldsTheImage(device.memory(), 0xFF);
}

TEST_F(CliProgram, EchoFlowDownloadWritesTheImageAndZerosAboveIt) {
  vmtest::DeviceProcess device;
  ASSERT_TRUE(device.start()) << device.error();
  const auto download = cli({"download", image_, "--flow", "echo", "--device", device.node()});
  EXPECT_EQ(download.exitCode, 0) << download.out << download.err;
  EXPECT_TRUE(contains(download.out, "Finished")) << download.out;
  ASSERT_EQ(device.stop(), 0);
  expectMemoryHoldsTheImage(device.memory(), 0x00);
}

// A session recorded on a kernel hidraw node replays on the emulated device, in both flows.
TEST_F(CliProgram, ASessionRecordedOnTheNodeReplaysAnywhere) {
  for (const char* flow : {"strict", "echo"}) {
    SCOPED_TRACE(flow);
    vmtest::DeviceProcess device;
    ASSERT_TRUE(device.start()) << device.error();
    const std::string record = (dir_ / (std::string(flow) + ".jsonl")).string();
    const auto recorded =
        cli({"download", image_, "--flow", flow, "--device", device.node(), "--record", record});
    EXPECT_EQ(recorded.exitCode, 0) << recorded.out << recorded.err;
    ASSERT_EQ(device.stop(), 0);
    const std::string text = clitest::slurp(record);
    // The Burn went out and its reply came back through the node (no report IDs on the way in).
    EXPECT_TRUE(contains(text, R"("event":"sent","report":"0012ffffffffffff12")")) << flow;
    EXPECT_TRUE(contains(text, R"("event":"received","report":"12ffff0000000012")")) << flow;

    const auto replayed =
        cli({"download", image_, "--flow", flow, "--sim", "--sim-replay", record, "--verbose"});
    EXPECT_EQ(replayed.exitCode, 0) << replayed.out << replayed.err;
    EXPECT_TRUE(contains(replayed.out + replayed.err, "the host followed the record"));
  }
}

TEST_F(CliProgram, NoReplyIsTheStrictFlowsTimeOut) {
  vmtest::DeviceProcess device;
  ASSERT_TRUE(device.start({"--fault", "no-reply@0x2000"})) << device.error();
  const auto r = cli({"download", image_, "--device", device.node()});
  EXPECT_EQ(r.exitCode, 6) << r.out << r.err;
  EXPECT_TRUE(contains(r.out + r.err, "Time out  error")) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "time-out at 0x2000 while writing")) << r.err;
  EXPECT_FALSE(contains(r.out, "Update Completed")) << r.out;
}

TEST_F(CliProgram, AWrongEchoEndsEitherFlow) {
  {
    vmtest::DeviceProcess device;
    ASSERT_TRUE(device.start({"--fault", "wrong-address@0x1000"})) << device.error();
    const auto r = cli({"download", image_, "--device", device.node()});
    EXPECT_EQ(r.exitCode, 6) << r.out << r.err;
    EXPECT_TRUE(contains(r.out + r.err, "Data error")) << r.out << r.err;
  }
  vmtest::DeviceProcess device;
  ASSERT_TRUE(device.start({"--fault", "wrong-data@0x0100"})) << device.error();
  const auto r = cli({"download", image_, "--flow", "echo", "--device", device.node()});
  EXPECT_EQ(r.exitCode, 6) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "Error on writing address: 0x100")) << r.err;
  EXPECT_FALSE(contains(r.out, "Finished")) << r.out;
}

TEST_F(CliProgram, AnUnplugMidDownloadIsAnExchangeFailureInEitherFlow) {
  for (const char* flow : {"strict", "echo"}) {
    SCOPED_TRACE(flow);
    vmtest::DeviceProcess device;
    ASSERT_TRUE(device.start({"--fault", "unplug@0x2000"})) << device.error();
    const auto r = cli({"download", image_, "--flow", flow, "--device", device.node()});
    std::printf("%s flow, unplugged at 0x2000: %s", flow, r.err.c_str());
    EXPECT_EQ(r.exitCode, 6) << r.out << r.err;
    EXPECT_FALSE(contains(r.out, "Update Completed") || contains(r.out, "Finished")) << r.out;
    EXPECT_EQ(device.waitExit(5s), 0) << "the device ends itself after the unplug";
  }
}

TEST_F(CliProgram, ANodeClosedToTheUserGetsThePermissionHint) {
  if (::access(kSetpriv, X_OK) != 0) GTEST_SKIP() << kSetpriv << " is missing";
  vmtest::DeviceProcess device;
  ASSERT_TRUE(device.start()) << device.error();
  struct stat st {};
  ASSERT_EQ(::stat(device.node().c_str(), &st), 0);
  if ((st.st_mode & 0777) != 0600) GTEST_SKIP() << "a udev rule of this machine opened the node";

  const auto list = cli({"list"}, true);
  std::printf("%s%s", list.out.c_str(), list.err.c_str());
  EXPECT_EQ(list.exitCode, 3) << list.out << list.err;
  EXPECT_TRUE(contains(list.out, device.node())) << list.out;
  EXPECT_TRUE(contains(list.out, "permission denied: install the udev rule")) << list.out;

  for (const char* flow : {"strict", "echo"}) {
    const auto download =
        cli({"download", image_, "--flow", flow, "--device", device.node()}, true);
    std::printf("%s%s", download.out.c_str(), download.err.c_str());
    EXPECT_EQ(download.exitCode, 3) << flow << "\n" << download.out << download.err;
    EXPECT_TRUE(contains(download.err, "open " + device.node() + ": Permission denied"))
        << download.err;
    EXPECT_TRUE(contains(download.err, "install the udev rule")) << download.err;
  }
  ASSERT_EQ(device.stop(), 0);
  EXPECT_TRUE(memoryIsUntouched(device.memory())) << "nothing reached the device";
}

// `vornex-cli emulate` until its nodes are there; its standard output is in the child's files.
class Emulator {
 public:
  Emulator(const fs::path& dir, const std::vector<std::string>& options)
      : ready_(dir / "ready"), memory_(dir / "memory") {
    std::vector<std::string> args = {"emulate", "--ready-file", ready_.string(), "--memory-out",
                                     memory_.string()};
    args.insert(args.end(), options.begin(), options.end());
    child_.emplace(dir, args);
  }
  // The ready file is written whole once every device has its node: one node a line.
  [[nodiscard]] bool waitForNode(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      std::ifstream in(ready_);
      for (std::string line; std::getline(in, line);) nodes_.push_back(line);
      if (!nodes_.empty()) return true;
      if (auto ended = child_->waitFor(0ms)) {
        ended_ = ended;
        return false;
      }
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  [[nodiscard]] const std::string& node() const { return nodes_.front(); }
  [[nodiscard]] const std::vector<std::string>& nodes() const { return nodes_; }
  [[nodiscard]] std::string out() const { return child_->out(); }
  // What the child said if it ended before its node appeared.
  [[nodiscard]] std::string why() const {
    return ended_ ? "emulate ended with " + std::to_string(ended_->exitCode) + ": " + ended_->err
                  : "no node within the time limit: " + child_->err();
  }
  clitest::Child& child() { return *child_; }
  [[nodiscard]] std::vector<std::uint8_t> memory() const { return readBytes(memory_); }
  // Device n's memory among several: the number goes after the file's name.
  [[nodiscard]] std::vector<std::uint8_t> memory(unsigned n) const {
    return readBytes(memory_.string() + "-" + std::to_string(n));
  }

 private:
  fs::path ready_, memory_;
  std::optional<clitest::Child> child_;
  std::vector<std::string> nodes_;
  std::optional<clitest::Run> ended_;
};

TEST_F(CliProgram, EmulateServesADownloadFromASecondProcess) {
  Emulator emulator(childDir(), {});
  ASSERT_TRUE(emulator.waitForNode(10s)) << emulator.why();
  EXPECT_TRUE(contains(emulator.out(), "hidraw node " + emulator.node() +
                                           " (HID_ID=" + vmtest::kUpdateDeviceHidId + ")"))
      << emulator.out();

  const auto list = cli({"list"});
  EXPECT_TRUE(contains(list.out, emulator.node() + " ")) << list.out;
  const auto download = cli({"download", image_, "--device", emulator.node()});
  EXPECT_EQ(download.exitCode, 0) << download.out << download.err;
  EXPECT_TRUE(contains(download.out, "Update Completed")) << download.out;

  emulator.child().signal(SIGINT);  // Ctrl-C
  const auto stopped = emulator.child().waitFor(10s);
  ASSERT_TRUE(stopped) << "emulate did not stop on SIGINT";
  std::printf("%s", stopped->out.c_str());
  EXPECT_EQ(stopped->exitCode, 0) << stopped->out << stopped->err;
  EXPECT_TRUE(contains(stopped->out, "stopped after")) << stopped->out;
  EXPECT_EQ(stopped->err, "");
  expectMemoryHoldsTheImage(emulator.memory(), 0xFF);
  EXPECT_FALSE(fs::exists(emulator.node())) << "the node goes with the device";
}

TEST_F(CliProgram, EmulateTakesTheDeviceOptions) {
  Emulator emulator(childDir(), {"--sim-version", "2.00", "--sim-fault", "unplug@format"});
  ASSERT_TRUE(emulator.waitForNode(10s)) << emulator.why();

  const auto version = cli({"version", "--device", emulator.node()});
  EXPECT_EQ(version.exitCode, 0) << version.out << version.err;
  EXPECT_TRUE(contains(version.out, "Version:2.00")) << version.out;

  const auto refused = cli({"download", image_, "--device", emulator.node()});
  EXPECT_EQ(refused.exitCode, 5) << refused.out << refused.err;
  EXPECT_TRUE(contains(refused.out + refused.err, "Device ver is error"))
      << refused.out << refused.err;
  // SIGUSR1: the memory file now, while the device goes on.
  emulator.child().signal(SIGUSR1);
  EXPECT_TRUE(emulator.child().waitForOutput("memory written to", 10s)) << emulator.out();
  EXPECT_TRUE(memoryIsUntouched(emulator.memory())) << "the refused download erased nothing";

  // The echo flow does not ask for the version; its Format unplugs the device.
  const auto unplugged = cli({"download", image_, "--flow", "echo", "--device", emulator.node()});
  EXPECT_EQ(unplugged.exitCode, 6) << unplugged.out << unplugged.err;
  const auto ended = emulator.child().waitFor(10s);
  ASSERT_TRUE(ended) << "emulate should end by itself after the unplug fault";
  std::printf("%s", ended->out.c_str());
  EXPECT_EQ(ended->exitCode, 0) << ended->out << ended->err;
  EXPECT_TRUE(contains(ended->out, "unplugged by the unplug fault")) << ended->out;
}

// Four kernel devices from one emulate, one of them without a reply from 0x2000 on, flashed at
// once by one download: the three good ones hold the image, the fault fails only its own.
TEST_F(CliProgram, EmulateCountPresentsDevicesThatOneDownloadFlashesTogether) {
  Emulator emulator(childDir(), {"--count", "4", "--sim-fault", "3:no-reply@0x2000"});
  ASSERT_TRUE(emulator.waitForNode(20s)) << emulator.why();
  ASSERT_EQ(emulator.nodes().size(), 4u) << emulator.out();
  for (unsigned n = 1; n <= 4; ++n)
    EXPECT_TRUE(contains(
        emulator.out(), "device " + std::to_string(n) + ": hidraw node " + emulator.nodes()[n - 1]))
        << emulator.out();

  const auto download = cli({"download", image_, "--all", "--json"});
  EXPECT_EQ(download.exitCode, 6) << "the faulty device's exchange failure";
  std::vector<std::string> lines;
  std::istringstream in(download.out);
  for (std::string line; std::getline(in, line);) {
    if (!contains(line, "\"event\":\"progress\"")) std::printf("%s\n", line.c_str());
    lines.push_back(line);
  }
  std::printf("%s", download.err.c_str());
  // Every object names its device, but the last: the summary of them all.
  ASSERT_FALSE(lines.empty());
  const auto unnamed = std::find_if(lines.begin(), lines.end() - 1, [](const std::string& line) {
    return !line.starts_with("{\"schema\":2,\"event\":") || !contains(line, "\"device\":\"");
  });
  EXPECT_TRUE(unnamed == lines.end() - 1) << *unnamed;
  EXPECT_TRUE(lines.back().starts_with("{\"schema\":2,\"event\":\"result\",\"exit_code\":6,"))
      << lines.back();
  EXPECT_TRUE(contains(lines.back(), "\"devices\":4,\"succeeded\":3,\"failed\":1")) << lines.back();
  auto saidOf = [&](const std::string& node, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
      return contains(line, "\"device\":\"" + node + "\"") && contains(line, text);
    });
  };
  for (unsigned n = 1; n <= 4; ++n) {
    const std::string& node = emulator.nodes()[n - 1];
    EXPECT_EQ(saidOf(node, "Update Completed"), n != 3) << node;
  }
  EXPECT_TRUE(saidOf(emulator.nodes()[2], "Time out  error")) << download.out;

  // SIGUSR2 with a number unplugs that device alone.
  emulator.child().signal(SIGUSR2, 2);
  EXPECT_TRUE(emulator.child().waitForOutput("device 2: unplugged", 10s)) << emulator.out();
  EXPECT_FALSE(fs::exists(emulator.nodes()[1]));
  EXPECT_TRUE(fs::exists(emulator.nodes()[0]));

  emulator.child().signal(SIGINT);
  const auto stopped = emulator.child().waitFor(10s);
  ASSERT_TRUE(stopped) << "emulate did not stop on SIGINT";
  EXPECT_EQ(stopped->exitCode, 0) << stopped->out << stopped->err;
  for (unsigned n : {1u, 2u, 4u}) {
    SCOPED_TRACE("device " + std::to_string(n));
    expectMemoryHoldsTheImage(emulator.memory(n), 0xFF);
  }
  const auto faulty = emulator.memory(3);
  ASSERT_EQ(faulty.size(), 0x10000u);
  EXPECT_FALSE(std::equal(firmware_.begin(), firmware_.end(), faulty.begin()))
      << "the device without replies cannot hold the whole image";
}

TEST_F(CliProgram, EmulateRefusesAUserWhoMayNotOpenUhid) {
  if (::access(kSetpriv, X_OK) != 0) GTEST_SKIP() << kSetpriv << " is missing";
  struct stat st {};
  ASSERT_EQ(::stat("/dev/uhid", &st), 0) << "the VM has uhid";
  if (st.st_mode & 0006) GTEST_SKIP() << "/dev/uhid is open to every user here";
  const fs::path memory = dir_ / "memory.bin";
  std::ofstream(memory) << "kept";
  ::chmod(memory.c_str(), 0666);
  ::chmod(dir_.c_str(), 0777);

  const auto r = cli({"emulate", "--memory-out", memory.string()}, true);
  EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "open /dev/uhid: Permission denied")) << r.err;
  EXPECT_TRUE(contains(r.err, "run as root")) << r.err;
  EXPECT_EQ(firstLine(memory), "kept") << "a refused emulate leaves the memory file alone";
}

}  // namespace
