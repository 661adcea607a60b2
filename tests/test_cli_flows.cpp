// vornex-cli as a script runs it: each command's success and failure through the emulated
// device and bad files, with the exit codes and messages, and files left as they were.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "cli/JsonLine.h"
#include "protocol/UpdateImage.h"
#include "tests/test_cli_process.h"

namespace {

namespace fs = std::filesystem;
namespace image = nuv::image;
using clitest::run;

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("nuv-cli-flows-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::vector<std::uint8_t> fw(image::kFirmwareSize);
    for (std::size_t i = 0; i < fw.size(); ++i) fw[i] = static_cast<std::uint8_t>(i * 13 + 7);
    std::memcpy(fw.data(), "V1.01 test image", 16);
    good_ = image::pack(fw, 0xFF);
    write("good.nuv", good_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_ / "unreadable.nuv", fs::perms::owner_all, ec);
    fs::remove_all(dir_, ec);
  }
  std::string write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(dir_ / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path(name);
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  clitest::Run cli(const std::vector<std::string>& args) { return run(dir_, args); }

  fs::path dir_;
  std::vector<std::uint8_t> good_;
};

TEST_F(CliTest, StrictDownloadWithVerifyEndsCompletedAndVerified) {
  const auto r = cli({"download", path("good.nuv"), "--sim", "--verify"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  for (const char* step : {"Link...", "Get version...", "Erase...", "Writing Data...",
                           "Writing All...", "Update Completed", "Verified"})
    EXPECT_NE(r.out.find(step), std::string::npos) << step << "\n" << r.out;
  EXPECT_EQ(r.err, "");
}

TEST_F(CliTest, BadImagesAreRefusedWithTheirCodeAndStayAsTheyWere) {
  auto sized = [&](std::size_t n) {
    std::vector<std::uint8_t> b = good_;
    b.resize(n, 0xFF);
    return b;
  };
  auto v102 = good_;
  std::memcpy(v102.data(), "V1.02", 5);
  auto lower = good_;
  lower[0] = 'v';
  write("empty.nuv", {});
  write("short.nuv", sized(65535));
  write("long.nuv", sized(65537));
  write("v102.nuv", v102);
  write("lower.nuv", lower);
  fs::create_directory(dir_ / "dir.nuv");
  struct Case {
    std::string file;
    int code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"missing.nuv", 7, "No such file"},    {"dir.nuv", 7, "directory"},
      {"empty.nuv", 4, "Filesize is error"}, {"short.nuv", 4, "Filesize is error"},
      {"long.nuv", 4, "Filesize is error"},  {"v102.nuv", 4, "Version is error"},
      {"lower.nuv", 4, "Version is error"},
  };
  for (const Case& c : cases) {
    const bool existed = fs::exists(dir_ / c.file);
    const bool regular = fs::is_regular_file(dir_ / c.file);
    const std::string before = regular ? clitest::slurp(dir_ / c.file) : std::string();
    const auto r = cli({"download", path(c.file), "--sim"});
    EXPECT_EQ(r.exitCode, c.code) << c.file << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.file << "\n" << r.err;
    EXPECT_EQ(r.out.find("Link..."), std::string::npos) << c.file << ": nothing may be sent";
    EXPECT_EQ(fs::exists(dir_ / c.file), existed);
    if (existed && fs::is_regular_file(dir_ / c.file)) {
      EXPECT_EQ(clitest::slurp(dir_ / c.file), before);
    }
    // The image is looked at before any device: refused the same with none attached.
    if (c.code == 4) {
      EXPECT_EQ(cli({"download", path(c.file)}).exitCode, 4) << c.file;
    }
  }
  const auto reason = cli({"download", path("short.nuv"), "--sim"});
  EXPECT_NE(reason.err.find("an update image is exactly 65536 bytes; this file has 65535; nothing "
                            "was sent to the device"),
            std::string::npos)
      << reason.err;
}

// Root reads every file unless it runs without CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH, as
// tests/unreadable-files.cmake runs this case.
TEST_F(CliTest, UnreadableImageIsAFileError) {
  write("unreadable.nuv", good_);
  fs::permissions(dir_ / "unreadable.nuv", fs::perms::none);
  if (std::ifstream(dir_ / "unreadable.nuv").is_open())
    GTEST_SKIP() << "this process reads files whatever their permissions";
  const auto r = cli({"download", path("unreadable.nuv"), "--sim"});
  EXPECT_EQ(r.exitCode, 7);
  EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
}

// A failure ends with the window's status words, then one line that says where the run
// stopped, what the device holds now and what to do.
TEST_F(CliTest, DeviceFailuresMapToTheirExitCodesAndOneFailureLine) {
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string status;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{"--sim-version", "2.00"},
       5,
       "Device ver is error",
       "vornex-cli: the device reports version 2.00; this updater needs 1.x; nothing was erased"},
      {{"--sim-fault", "code-zero@write"},
       6,
       "No  respond",
       "vornex-cli: no response (reply code 0) at 0x0000 while writing; the device is erased and "
       "partly written: run download again"},
      {{"--sim-fault", "wrong-address@0x1000"},
       6,
       "Data error",
       "at 0x1000 while writing; the device is erased and partly written: run download again"},
      {{"--sim-fault", "write-failure@format"},
       6,
       "Data error",
       "vornex-cli: the report could not be sent while erasing; the device is untouched: plug "
       "it back in and run download again"},
      // Unplugged mid-download: seen at once, not after the time-out.
      {{"--sim-fault", "unplug@0x2000"},
       6,
       "Writing Data...",
       "vornex-cli: the device went away at 0x2000 while writing; the device is erased and partly "
       "written: plug it back in and run download again"},
      {{"--sim-fault", "no-reply@burn"},
       6,
       "Time out  error",
       "time-out while burning; the device is burnt: run vornex-cli verify"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"download", path("good.nuv"), "--sim"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto r = cli(args);
    EXPECT_EQ(r.exitCode, c.code) << c.args.back() << "\n" << r.out << r.err;
    EXPECT_NE(r.err.find(c.line), std::string::npos) << c.args.back() << "\n" << r.err;
    // The window's words once: a box that repeats the status line is not printed again.
    const std::string all = r.out + r.err;
    const auto first = all.find(c.status);
    EXPECT_NE(first, std::string::npos) << c.args.back() << "\n" << all;
    EXPECT_EQ(all.find(c.status, first + 1), std::string::npos) << all;
    EXPECT_EQ(r.out.find("Update Completed"), std::string::npos);
  }
  // The refused device version stops before the erase.
  const auto refused = cli({"download", path("good.nuv"), "--sim", "--sim-version", "2.00"});
  EXPECT_EQ(refused.out.find("Erase..."), std::string::npos) << refused.out;
}

TEST_F(CliTest, ADevicePathThatIsNoUpdateDeviceIsRefusedByName) {
  // A character device, a directory and a regular file: none is an attached update device,
  // and each command says which path it refused instead of "no device is attached".
  for (const std::string& device : {std::string("/dev/null"), dir_.string(), path("good.nuv")}) {
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"version"},
          {"download", path("good.nuv")},
          {"download", path("good.nuv"), "--flow", "echo"},
          {"verify", path("good.nuv")},
          {"list"}}) {
      std::vector<std::string> args = command;
      args.insert(args.end(), {"--device", device});
      const auto r = cli(args);
      EXPECT_EQ(r.exitCode, 3) << command.front() << " " << device << "\n" << r.err;
      EXPECT_NE(r.err.find(device + " is not an attached update device (USB ffff:0100)"),
                std::string::npos)
          << command.front() << "\n"
          << r.err;
    }
  }
  const auto missing = cli({"version", "--device", path("no-such-node")});
  EXPECT_EQ(missing.exitCode, 3);
  EXPECT_NE(missing.err.find("cannot open " + path("no-such-node")), std::string::npos)
      << missing.err;
  const auto listMissing = cli({"list", "--device", path("no-such-node")});
  EXPECT_EQ(listMissing.exitCode, 3);
  EXPECT_NE(listMissing.err.find(path("no-such-node") + " is not an attached update device"),
            std::string::npos)
      << listMissing.err;
}

TEST_F(CliTest, VersionShowsTheDevicesVersionOrTheExchangeFailure) {
  auto ok = cli({"version", "--sim", "--sim-version", "1.23"});
  EXPECT_EQ(ok.exitCode, 0) << ok.err;
  EXPECT_NE(ok.out.find("Version:1.23"), std::string::npos) << ok.out;
  auto bad = cli({"version", "--sim", "--sim-fault", "code-zero@link"});
  EXPECT_EQ(bad.exitCode, 6);
  EXPECT_NE(bad.out.find("No  respond"), std::string::npos) << bad.out;
  EXPECT_NE(bad.err.find("no response (reply code 0) while linking; the device is untouched"),
            std::string::npos)
      << bad.err;
  // -q: the answer alone.
  auto quiet = cli({"version", "--sim", "--sim-version", "1.23", "-q"});
  EXPECT_EQ(quiet.out, "1.23\n");
}

TEST_F(CliTest, EchoFlowDownloadsAndVerifiesTheZerosAboveTheImage) {
  const auto r = cli({"download", path("good.nuv"), "--sim", "--flow", "echo", "--verify"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("Finished"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Verified"), std::string::npos) << r.out;
  // The per-write status texts are the bar's captions, not 16,384 lines.
  EXPECT_EQ(r.out.find("Writing address"), std::string::npos);
}

TEST_F(CliTest, EchoFlowRefusalsAndWrongEcho) {
  // One byte short (a copy of the range, not copy + pop_back(): GCC 12 at -O3 warns wrongly of
  // an out-of-bounds destroy in pop_back on an empty vector).
  const std::vector<std::uint8_t> shorter(good_.begin(), good_.end() - 1);
  write("short.nuv", shorter);
  auto refused = cli({"download", path("short.nuv"), "--sim", "--flow", "echo"});
  EXPECT_EQ(refused.exitCode, 4) << refused.err;
  EXPECT_NE(refused.err.find("nothing was sent"), std::string::npos) << refused.err;
  auto missing = cli({"download", path("missing.nuv"), "--sim", "--flow", "echo"});
  EXPECT_EQ(missing.exitCode, 7) << missing.err;
  auto wrong = cli({"download", path("good.nuv"), "--sim", "--flow", "echo", "--sim-fault",
                    "wrong-data@0x0100"});
  EXPECT_EQ(wrong.exitCode, 6);
  EXPECT_NE(wrong.err.find("Error on writing address: 0x100"), std::string::npos) << wrong.err;
  auto unplugged = cli(
      {"download", path("good.nuv"), "--sim", "--flow", "echo", "--sim-fault", "unplug@0x2000"});
  EXPECT_EQ(unplugged.exitCode, 6);
  EXPECT_NE(unplugged.err.find("went away"), std::string::npos) << unplugged.err;
  // A Write that cannot be sent is no "User canceled": nobody pressed Stop.
  auto failed = cli({"download", path("good.nuv"), "--sim", "--flow", "echo", "--sim-fault",
                     "write-failure@0x0100"});
  EXPECT_EQ(failed.exitCode, 6);
  EXPECT_EQ(failed.out.find("User canceled"), std::string::npos) << failed.out;
  EXPECT_NE(failed.err.find("could not be sent at 0x0100 while writing"), std::string::npos)
      << failed.err;
}

// A session on record replays as it was recorded, in both flows; a host that sends anything
// else is told where it departed; a record never replaces a file unasked.
TEST_F(CliTest, RecordedSessionsReplayAndDeparturesAreNamed) {
  std::vector<std::uint8_t> other = good_;
  other[0x2000] ^= 0xFF;
  write("other.nuv", other);
  for (const char* flow : {"strict", "echo"}) {
    SCOPED_TRACE(flow);
    const std::string record = path(std::string(flow) + ".jsonl");
    const auto recorded =
        cli({"download", path("good.nuv"), "--flow", flow, "--sim", "--record", record});
    ASSERT_EQ(recorded.exitCode, 0) << recorded.err;
    const std::string text = clitest::slurp(record);
    EXPECT_EQ(text.rfind("{\"record\":\"nuv-update-session\",\"version\":1}\n", 0), 0u);

    const auto again =
        cli({"download", path("good.nuv"), "--flow", flow, "--sim", "--record", record});
    EXPECT_EQ(again.exitCode, 7);
    EXPECT_EQ(clitest::slurp(record), text);

    const auto replayed = cli({"download", path("good.nuv"), "--flow", flow, "--sim",
                               "--sim-replay", record, "--verbose"});
    EXPECT_EQ(replayed.exitCode, 0) << replayed.err;
    EXPECT_NE((replayed.out + replayed.err).find("the host followed the record"),
              std::string::npos);

    const auto departed = cli(
        {"download", path("other.nuv"), "--flow", flow, "--sim", "--sim-replay", record, "--json"});
    EXPECT_EQ(departed.exitCode, 6);
    EXPECT_NE(departed.out.find("departed from the record at report"), std::string::npos)
        << departed.out;
    // The verdict on the replay comes before the result, which is the last object.
    EXPECT_NE(departed.out.rfind("{\"schema\":2,\"event\":\"result\""),
              departed.out.rfind("\"event\":\"message\""));
    EXPECT_GT(departed.out.rfind("\"event\":\"result\""),
              departed.out.rfind("departed from the record"));
  }
}

// Every kind of path a user can name as an image or an output: a clear refusal with the
// documented exit code, never a wait for ever, and nothing on disk changed.
TEST_F(CliTest, EveryKindOfPathEndsWithItsExitCodeAndChangesNothing) {
  const std::string fifo = path("fifo.nuv");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  const std::string socketPath = path("socket.nuv");
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  fs::create_symlink(path("loop-b.nuv"), path("loop-a.nuv"));
  fs::create_symlink(path("loop-a.nuv"), path("loop-b.nuv"));
  fs::create_symlink(path("nothing-here.nuv"), path("dangling.nuv"));
  fs::create_directory(path("folder.nuv"));
  {
    std::ofstream(path("huge.nuv")).flush();
    fs::resize_file(path("huge.nuv"), 8ull << 30);  // sparse: 8 GiB that take no space
  }
  const std::string odd = write("odd name\nwith 'quotes' and \xc3\xbc.nuv", good_);

  const std::vector<std::vector<std::string>> commands = {{"inspect"},
                                                          {"download", "--sim"},
                                                          {"download", "--sim", "--flow", "echo"},
                                                          {"verify", "--sim"},
                                                          {"unpack", "-o", path("out.bin")}};
  const struct {
    std::string image;
    int code;  // the same for every command
  } inputs[] = {
      {fifo, 7},
      {socketPath, 7},
      {path("loop-a.nuv"), 7},
      {path("dangling.nuv"), 7},
      {path("folder.nuv"), 7},
      {"/dev/zero", 7},
      {path("huge.nuv"), 4},
  };
  for (const auto& input : inputs) {
    for (const auto& command : commands) {
      std::vector<std::string> args = {command[0], input.image};
      args.insert(args.end(), command.begin() + 1, command.end());
      SCOPED_TRACE(input.image + " " + command[0] + (command.size() > 2 ? " " + command[2] : ""));
      clitest::Child child(dir_, args);
      const auto r = child.waitFor(std::chrono::seconds(20));
      ASSERT_TRUE(r.has_value()) << "still waiting after 20 s";
      EXPECT_EQ(r->exitCode, input.code) << r->err;
      EXPECT_NE(r->err.find("vornex-cli: "), std::string::npos) << r->err;
      EXPECT_FALSE(fs::exists(path("out.bin")));
    }
  }
  EXPECT_EQ(cli({"inspect", odd}).exitCode, 0);
  EXPECT_EQ(cli({"download", odd, "--sim"}).exitCode, 0);

  // Outputs: a folder, a FIFO or a socket is never replaced, even with --force; nor is a path
  // in a folder that is not there created.
  for (const std::string& output : {path("folder.nuv"), fifo, socketPath, path("no/such.bin")}) {
    SCOPED_TRACE(output);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"unpack", path("good.nuv"), "-o", output, "--force"},
             {"download", path("good.nuv"), "--sim", "--record", output, "--force"}}) {
      clitest::Child child(dir_, args);
      const auto r = child.waitFor(std::chrono::seconds(20));
      ASSERT_TRUE(r.has_value()) << args[0] << " still waiting after 20 s";
      EXPECT_EQ(r->exitCode, 7) << args[0] << ": " << r->err;
    }
  }
  EXPECT_TRUE(fs::is_directory(path("folder.nuv")));
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_TRUE(fs::is_socket(socketPath));
  EXPECT_EQ(fs::file_size(path("huge.nuv")), 8ull << 30);
  ::close(sock);
}

TEST_F(CliTest, JsonGivesOneObjectPerLineEndingWithTheResult) {
  const auto r = cli({"download", path("good.nuv"), "--sim", "--json"});
  EXPECT_EQ(r.exitCode, 0);
  std::istringstream lines(r.out);
  std::string line, last;
  int progress = 0;
  while (std::getline(lines, line)) {
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.front(), '{') << line;
    EXPECT_EQ(line.back(), '}') << line;
    if (line.find("\"event\":\"progress\"") != std::string::npos) ++progress;
    last = line;
  }
  EXPECT_GT(progress, 50);
  EXPECT_LE(progress, 101);
  EXPECT_NE(
      r.out.find(
          "{\"schema\":2,\"event\":\"status\",\"text\":\"Update Completed\",\"tone\":\"success\"}"),
      std::string::npos);
  EXPECT_EQ(last,
            "{\"schema\":2,\"event\":\"result\",\"exit_code\":0,\"ok\":true,\"summary\":\"\","
            "\"outcome\":\"completed\",\"step\":\"burn\",\"address\":null,\"device_state\":"
            "\"burnt\",\"next\":null}");

  const auto refused = cli({"download", path("missing.nuv"), "--sim", "--json"});
  EXPECT_EQ(refused.exitCode, 7);
  EXPECT_NE(refused.out.find("\"exit_code\":7,\"ok\":false"), std::string::npos) << refused.out;
}

TEST_F(CliTest, CtrlCIsTheStopButton) {
  for (const char* flow : {"strict", "echo"}) {
    clitest::Child child(
        dir_, {"download", path("good.nuv"), "--sim", "--sim-latency", "1", "--flow", flow});
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(
        child.waitForOutput(std::string(flow) == "strict" ? "Writing Data..." : "Downloading...",
                            std::chrono::seconds(30)));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    child.signal(SIGINT);
    const auto r = child.wait();
    EXPECT_EQ(r.exitCode, 130) << flow << "\n" << r.out << r.err;
    EXPECT_NE(r.err.find("stopped"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Update Completed"), std::string::npos);
    EXPECT_EQ(r.out.find("Finished"), std::string::npos);
  }
  // The echo flow waits for ever for a silent device, where its Stop does nothing: one
  // Ctrl-C still ends the run, and says where it stopped.
  clitest::Child silent(dir_,
                        {"version", "--sim", "--flow", "echo", "--sim-fault", "no-reply@link+"});
  ASSERT_TRUE(silent.started());
  ASSERT_TRUE(silent.waitForOutput("Asking the emulated device", std::chrono::seconds(30)));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  silent.signal(SIGINT);
  const auto r = silent.waitFor(std::chrono::seconds(20));
  ASSERT_TRUE(r.has_value()) << "one Ctrl-C did not end the run";
  EXPECT_EQ(r->exitCode, 130);
  EXPECT_NE(r->err.find("stopped (Ctrl-C) while linking; the device is untouched"),
            std::string::npos)
      << r->err;
}

TEST_F(CliTest, PackNeverOverwritesAndRefusesAWrongSizedFirmware) {
  std::vector<std::uint8_t> fw(image::kFirmwareSize, 0x5A);
  write("fw.bin", fw);
  write("fw-short.bin", std::vector<std::uint8_t>(image::kFirmwareSize - 1, 0));
  const std::string before = clitest::slurp(dir_ / "good.nuv");
  auto kept = cli({"pack", path("fw.bin"), "-o", path("good.nuv")});
  EXPECT_EQ(kept.exitCode, 7) << kept.err;
  EXPECT_EQ(clitest::slurp(dir_ / "good.nuv"), before);
  auto wrong = cli({"pack", path("fw-short.bin"), "-o", path("new.nuv")});
  EXPECT_EQ(wrong.exitCode, 4) << wrong.err;
  EXPECT_FALSE(fs::exists(dir_ / "new.nuv"));
  auto made = cli({"pack", path("fw.bin"), "-o", path("new.nuv")});
  EXPECT_EQ(made.exitCode, 0) << made.err;
  EXPECT_EQ(fs::file_size(dir_ / "new.nuv"), image::kImageSize);
}

TEST_F(CliTest, HelpVersionAndUsage) {
  auto help = cli({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("Exit codes"), std::string::npos);
  auto page = cli({"download", "--help"});
  EXPECT_EQ(page.exitCode, 0);
  EXPECT_NE(page.out.find("--flow"), std::string::npos);
  auto version = cli({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_NE(version.out.find("vornex-cli"), std::string::npos);
  auto usage = cli({"download"});
  EXPECT_EQ(usage.exitCode, 2);
  EXPECT_NE(usage.err.find("--help"), std::string::npos);
  auto verifyOnVersion = cli({"version", "--sim", "--verify"});
  EXPECT_EQ(verifyOnVersion.exitCode, 2);
}

TEST_F(CliTest, InspectAndListOnTheEmulatedDevice) {
  auto inspect = cli({"inspect", path("good.nuv")});
  EXPECT_EQ(inspect.exitCode, 0) << inspect.err;
  auto list = cli({"list", "--sim"});
  EXPECT_EQ(list.exitCode, 0);
  EXPECT_NE(list.out.find("ffff:0100"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("\"Nuv update device (emulated)\""), std::string::npos) << list.out;
  // -q keeps the answers: the device lines.
  EXPECT_EQ(cli({"list", "--sim", "-q"}).out, list.out);
  // A fresh emulated device is blank: verify says how to see it succeed.
  auto blank = cli({"verify", path("good.nuv"), "--sim"});
  EXPECT_EQ(blank.exitCode, 8);
  EXPECT_NE(blank.err.find("the emulated device starts blank"), std::string::npos) << blank.err;
}

// --retries on one device tries again in the same process, where a one-time fault of the
// emulated device has happened already: the retry succeeds.
TEST_F(CliTest, ARetryOnOneDeviceMeetsTheDeviceAsItIs) {
  auto r = cli({"download", path("good.nuv"), "--sim", "--sim-fault", "code-zero@0x1000",
                "--retries", "1", "--verify"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("No  respond\nAttempt 2 of 2, after exit code 6\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Verified"), std::string::npos);
  EXPECT_EQ(r.out.find("device_result"), std::string::npos) << "one device's format";
}

TEST_F(CliTest, SeveralDevicesAtOnceOneFailingOneUnpluggedAndEveryJsonLineSaysWhich) {
  // Both flows; device 2 fails (no reply; a wrong echo in the echo flow, which has no
  // time-outs), device 3 is unplugged in the middle of the writes.
  for (const std::string flow : {"strict", "echo"}) {
    const std::string fault = flow == "strict" ? "2:no-reply@0x2000" : "2:wrong-data@0x2000";
    const auto r =
        cli({"download", path("good.nuv"), "--sim", "--sim-devices", "3", "--all", "--flow", flow,
             "--verify", "--sim-fault", fault, "--sim-fault", "3:unplug@0x8000", "--json"});
    EXPECT_EQ(r.exitCode, 6) << flow << "\n" << r.out << r.err;
    std::map<std::string, std::string> results;  // device: exit code
    std::set<std::string> kinds;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      ASSERT_TRUE(line.starts_with("{\"schema\":2,\"event\":\"")) << line;
      const std::string kind = line.substr(21, line.find('"', 21) - 21);
      kinds.insert(kind);
      if (kind != "result") {
        EXPECT_NE(line.find("\"device\":\"sim:update-device-"), std::string::npos) << line;
      }
      if (kind == "device_result") {
        const auto at = line.find("\"device\":\"") + 10;
        const auto code = line.find("\"exit_code\":") + 12;
        results[line.substr(at, line.find('"', at) - at)] = line.substr(code, 1);
        if (line.find("sim:update-device-1") != std::string::npos) {
          EXPECT_NE(line.find("\"verified\":true"), std::string::npos) << line;
        }
      }
    }
    EXPECT_EQ(results, (std::map<std::string, std::string>{{"sim:update-device-1", "0"},
                                                           {"sim:update-device-2", "6"},
                                                           {"sim:update-device-3", "6"}}))
        << flow << "\n"
        << r.out;
    for (const char* kind : {"attempt", "start", "status", "progress", "result", "device_result"})
      EXPECT_EQ(kinds.count(kind), 1u) << flow << ": no " << kind << " object";
    // A worker's own result is its device_result: the run's result is the one last object.
    EXPECT_EQ(r.out.find("\"event\":\"result\""), r.out.rfind("\"event\":\"result\""));
    EXPECT_TRUE(r.out.substr(r.out.rfind('{')).starts_with("{\"schema\":2,\"event\":\"result\""));
  }
}

TEST_F(CliTest, SeveralDevicesAndNoneNamedIsRefusedWithHowToPickOne) {
  for (const char* command : {"version", "download", "verify"}) {
    std::vector<std::string> args{command};
    if (std::string(command) != "version") args.push_back(path("good.nuv"));
    args.insert(args.end(), {"--sim", "--sim-devices", "2"});
    const auto r = cli(args);
    EXPECT_EQ(r.exitCode, 2) << command << r.err;
    EXPECT_NE(r.err.find("--device serial:SIM0002"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("name one with --device, or all with --all"), std::string::npos);
  }
  const auto picked = cli({"version", "--sim", "--sim-devices", "2", "--device", "usb:0-2"});
  EXPECT_EQ(picked.exitCode, 0) << picked.err;
  const auto both = cli({"version", "--sim", "--sim-devices", "2", "--all", "--json"});
  EXPECT_EQ(both.exitCode, 0) << both.err;
  EXPECT_NE(both.out.find("\"event\":\"device_result\",\"device\":\"sim:update-device-2\""),
            std::string::npos)
      << both.out;
}

}  // namespace
