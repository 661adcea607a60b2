// vornex-cli emulate where the device cannot be presented: a missing uhid node, one this user
// may not open, files that cannot be written. Each is refused with its exit code and a message
// that says what to do, before anything is presented, and leaves the files as they were. (The
// device itself is tested in the VM suite: this machine's kernel has no uhid.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/test_cli_process.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kSetpriv = "/usr/bin/setpriv";

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class CliEmulate : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("nuv-cli-emulate-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "out");
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::others_exec | fs::perms::group_exec);
    std::ofstream(path("memory.bin")) << "the memory file of an earlier session";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  [[nodiscard]] std::string path(const std::string& name) const { return (dir_ / name).string(); }
  clitest::Run cli(const std::vector<std::string>& args) {
    return clitest::run(dir_ / "out", args);
  }
  void expectMemoryFileKept() const {
    EXPECT_EQ(clitest::slurp(path("memory.bin")), "the memory file of an earlier session");
  }

  fs::path dir_;
};

TEST_F(CliEmulate, AMissingUhidNodeIsRefusedWithTheModprobeHint) {
  const auto r = cli({"emulate", "--uhid", path("no-uhid"), "--memory-out", path("memory.bin"),
                      "--ready-file", path("ready")});
  EXPECT_EQ(r.exitCode, 3) << r.err;
  EXPECT_TRUE(contains(r.err, "open " + path("no-uhid") + ": No such file or directory")) << r.err;
  EXPECT_TRUE(contains(r.err, "modprobe uhid")) << r.err;
  EXPECT_TRUE(contains(r.err, "vornex-cli: the emulated device needs " + path("no-uhid"))) << r.err;
  EXPECT_FALSE(contains(r.out, "Presenting")) << r.out;
  expectMemoryFileKept();
  EXPECT_FALSE(fs::exists(path("ready")));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2)
      << "no temporary file left behind";
}

TEST_F(CliEmulate, AUhidNodeThisUserMayNotOpenIsRefusedWithThePermissionHint) {
  const std::string uhid = path("uhid");
  std::ofstream(uhid).close();
  ASSERT_EQ(::chmod(uhid.c_str(), 0600), 0);
  clitest::Run r;
  if (::geteuid() == 0) {
    // Root opens any file: the refused user is 65534.
    if (::access(kSetpriv, X_OK) != 0) GTEST_SKIP() << "running as root without " << kSetpriv;
    clitest::Child child(
        dir_ / "out",
        {"--reuid=65534", "--regid=65534", "--clear-groups", VORNEX_CLI, "emulate", "--uhid", uhid},
        kSetpriv);
    r = child.wait();
  } else {
    r = cli({"emulate", "--uhid", uhid});
  }
  EXPECT_EQ(r.exitCode, 3) << r.err;
  EXPECT_TRUE(contains(r.err, "open " + uhid + ": Permission denied")) << r.err;
  EXPECT_TRUE(contains(r.err, "run as root, or give your user access to it")) << r.err;
  EXPECT_EQ(fs::file_size(uhid), 0u);
}

TEST_F(CliEmulate, FilesThatCannotBeWrittenAreRefusedBeforeTheDeviceIsOpened) {
  // The uhid node is missing too: a refusal with 7, not 3, shows the files came first.
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--memory-out", path("no-dir/memory.bin")}, "access " + path("no-dir")},
      {{"--memory-out", dir_.string()}, dir_.string() + " is a directory"},
      {{"--ready-file", path("out")}, path("out") + " is a directory"},
      // Several devices: each has a memory file of its own, all checked.
      {{"--count", "3", "--memory-out", path("memory.bin")},
       path("memory-2.bin") + " is a directory"},
  };
  fs::create_directory(path("memory-2.bin"));
  for (const auto& [options, message] : cases) {
    std::vector<std::string> args = {"emulate", "--uhid", path("no-uhid")};
    args.insert(args.end(), options.begin(), options.end());
    const auto r = cli(args);
    EXPECT_EQ(r.exitCode, 7) << options.back() << "\n" << r.err;
    EXPECT_TRUE(contains(r.err, message)) << r.err;
  }
  EXPECT_FALSE(fs::exists(path("no-dir")));
  expectMemoryFileKept();
}

TEST_F(CliEmulate, RefusesMoreDevicesThanItPresentsAtOnce) {
  const auto r = cli({"emulate", "--count", "65", "--uhid", path("no-uhid")});
  EXPECT_EQ(r.exitCode, 2) << r.err;
  EXPECT_TRUE(contains(r.err, "at most 64 devices at once, not 65")) << r.err;
}

TEST_F(CliEmulate, JsonTellsTheRefusalAsItsLastObject) {
  const auto r = cli({"emulate", "--json", "--uhid", path("no-uhid")});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_TRUE(
      contains(r.out, "{\"schema\":2,\"event\":\"message\",\"text\":\"open " + path("no-uhid")))
      << r.out;
  EXPECT_TRUE(
      r.out.ends_with("{\"schema\":2,\"event\":\"result\",\"exit_code\":3,\"ok\":false,\"summary\":"
                      "\"the emulated device needs " +
                      path("no-uhid") + " and the right to open it\"}\n"))
      << r.out;
}

TEST_F(CliEmulate, HasAHelpPage) {
  const auto r = cli({"help", "emulate"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(r.out.starts_with("Usage: vornex-cli emulate")) << r.out;
  EXPECT_TRUE(contains(r.out, "modprobe uhid")) << r.out;
  EXPECT_TRUE(contains(cli({"--help"}).out, "emulate")) << "the overview names the command";
}

}  // namespace
