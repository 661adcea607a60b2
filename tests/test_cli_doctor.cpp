// doctor's checks on a temporary tree standing in for /sys, /proc, udev's rule directories and
// /dev; udev-rule's output.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "cli/Doctor.h"
#include "cli/ExitCodes.h"
#include "cli/UdevRuleCheck.h"
#include "platform/hidraw/UdevRuleText.h"

namespace {

namespace fs = std::filesystem;
using nuv::cli::Verdict;

constexpr pid_t kSelf = 77;
constexpr uid_t kDeskUser = 4321;  // neither root nor the owner of the test's files

std::string readAll(std::FILE* file) {
  std::rewind(file);
  std::string text;
  for (int c; (c = std::fgetc(file)) != EOF;) text.push_back(static_cast<char>(c));
  return text;
}

void writeText(const fs::path& path, std::string_view text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

enum class Rule {
  Absent,
  CurrentInUsrLib,
  OutdatedInEtcOverCurrent,
  OtherCommentsInEtc,
  MaskedInEtc,
  OtherNameEarly,
  OtherNameLate
};

struct DoctorCase {
  const char* name;
  bool hidraw;
  Rule rule;
  int deviceMode;  // -1: no device attached
  bool otherHolder;
  int exitCode;
  const char* verdicts;  // "VERDICT CHECK" per line, joined by "|"
};

void PrintTo(const DoctorCase& c, std::ostream* os) {
  *os << c.name;
}

class DoctorTest : public ::testing::TestWithParam<DoctorCase> {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "doctor-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
    out_ = std::tmpfile();
  }
  void TearDown() override {
    std::fclose(out_);
    fs::remove_all(root_);
  }

  nuv::cli::DoctorEnvironment build(const DoctorCase& c) {
    nuv::cli::DoctorEnvironment env;
    env.paths.sysRoot = (root_ / "sys").string();
    env.paths.procRoot = (root_ / "proc").string();
    env.paths.ruleDirs = {(root_ / "etc").string(), (root_ / "run").string(),
                          (root_ / "usrlib").string()};
    env.user = {kDeskUser, kDeskUser, {}};
    env.self = kSelf;
    writeText(root_ / "proc/devices", "Character devices:\n  1 mem\n");
    if (c.hidraw) fs::create_directories(root_ / "sys/class/hidraw");

    const std::string current(nuv::hidraw::kUdevRuleText);
    const std::string name(nuv::hidraw::kUdevRuleFileName);
    switch (c.rule) {
      case Rule::Absent:
        break;
      case Rule::OutdatedInEtcOverCurrent:
        writeText(root_ / "etc" / name, "SUBSYSTEM==\"hidraw\", MODE=\"0666\"\n");
        [[fallthrough]];
      case Rule::CurrentInUsrLib:
        writeText(root_ / "usrlib" / name, current);
        break;
      case Rule::OtherCommentsInEtc:
        writeText(root_ / "etc" / name, "# packaged by someone\n\n" + current);
        break;
      case Rule::MaskedInEtc:
        fs::create_directories(root_ / "etc");
        fs::create_symlink("/dev/null", root_ / "etc" / name);
        writeText(root_ / "usrlib" / name, current);
        break;
      case Rule::OtherNameEarly:
        writeText(root_ / "usrlib/60-vendor.rules", current);
        break;
      case Rule::OtherNameLate:
        writeText(root_ / "usrlib/99-vendor.rules", current);
        break;
    }

    std::vector<nuv::hidraw::HidrawDevice> devices;
    if (c.deviceMode >= 0) {
      const fs::path node = root_ / "dev/hidraw0";
      writeText(node, "");
      ::chmod(node.c_str(), static_cast<mode_t>(c.deviceMode));
      devices.push_back({.identity = 1, .devnode = node.string(), .syspath = "/sys/x"});
      // This process's own fd on the node is never another holder.
      fs::create_directories(root_ / "proc/77/fd");
      fs::create_symlink(node, root_ / "proc/77/fd/3");
      fs::create_directories(root_ / "proc/120/fd");  // a process without the node open
      if (c.otherHolder) {
        fs::create_directories(root_ / "proc/123/fd");
        fs::create_symlink(node, root_ / "proc/123/fd/5");
        fs::create_symlink(node, root_ / "proc/123/fd/6");
        writeText(root_ / "proc/123/comm", "fwtool\n");
      }
    }
    env.devices = devices;
    return env;
  }

  fs::path root_;
  std::FILE* out_ = nullptr;
};

// The first two words of each check line: "ok hidraw|problem udev-rule|...".
std::string verdictsOf(const std::string& output) {
  std::istringstream lines(output);
  std::string joined;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string verdict, check;
    words >> verdict >> check;
    if (verdict != "ok" && verdict != "warning" && verdict != "problem") continue;
    joined += (joined.empty() ? "" : "|") + verdict + " " + check;
  }
  return joined;
}

TEST_P(DoctorTest, ChecksAndExitCode) {
  const DoctorCase& c = GetParam();
  const nuv::cli::DoctorEnvironment env = build(c);
  nuv::cli::Output out(nuv::cli::OutputMode::Plain, false, out_, out_);
  EXPECT_EQ(nuv::cli::runDoctor(env, out), c.exitCode);
  const std::string text = readAll(out_);
  EXPECT_EQ(verdictsOf(text), c.verdicts) << text;
  if (c.otherHolder) {
    EXPECT_NE(text.find("pid 123 (fwtool)"), std::string::npos) << text;
    EXPECT_EQ(text.find("pid 77"), std::string::npos) << text;
  }
  if (c.rule == Rule::OutdatedInEtcOverCurrent) {
    EXPECT_NE(text.find("hides " + (root_ / "usrlib").string()), std::string::npos) << text;
  }
}

constexpr const char* kAllOk = "ok hidraw|ok udev-rule|ok devices|ok access|ok in-use";

INSTANTIATE_TEST_SUITE_P(
    Doctor, DoctorTest,
    ::testing::Values(
        DoctorCase{"AllWell", true, Rule::CurrentInUsrLib, 0666, false, 0, kAllOk},
        DoctorCase{"CommentsDifferOnly", true, Rule::OtherCommentsInEtc, 0666, false, 0, kAllOk},
        DoctorCase{"SameRuleOtherName", true, Rule::OtherNameEarly, 0666, false, 0, kAllOk},
        DoctorCase{"SameRuleSortsAfterSeat", true, Rule::OtherNameLate, 0666, false, 1,
                   "ok hidraw|problem udev-rule|ok devices|ok access|ok in-use"},
        DoctorCase{"RuleAbsent", true, Rule::Absent, 0666, false, 1,
                   "ok hidraw|problem udev-rule|ok devices|ok access|ok in-use"},
        DoctorCase{"OutdatedRuleInEtcWins", true, Rule::OutdatedInEtcOverCurrent, 0666, false, 1,
                   "ok hidraw|problem udev-rule|ok devices|ok access|ok in-use"},
        DoctorCase{"RuleMaskedInEtc", true, Rule::MaskedInEtc, 0666, false, 1,
                   "ok hidraw|problem udev-rule|ok devices|ok access|ok in-use"},
        DoctorCase{"NodeNotAccessible", true, Rule::CurrentInUsrLib, 0600, false, 3,
                   "ok hidraw|ok udev-rule|ok devices|problem access|ok in-use"},
        DoctorCase{"NoDevice", true, Rule::CurrentInUsrLib, -1, false, 3,
                   "ok hidraw|ok udev-rule|problem devices"},
        DoctorCase{"NoDeviceAndNoRule", true, Rule::Absent, -1, false, 1,
                   "ok hidraw|problem udev-rule|problem devices"},
        DoctorCase{"NoHidraw", false, Rule::CurrentInUsrLib, -1, false, 1,
                   "problem hidraw|ok udev-rule|problem devices"},
        DoctorCase{"HeldByAnotherProcess", true, Rule::CurrentInUsrLib, 0666, true, 1,
                   "ok hidraw|ok udev-rule|ok devices|ok access|problem in-use"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DoctorTest, JsonGivesOneCheckObjectPerLine) {
  const nuv::cli::DoctorEnvironment env =
      build({"", true, Rule::CurrentInUsrLib, 0666, false, 0, ""});
  nuv::cli::Output out(nuv::cli::OutputMode::Json, false, out_, out_);
  EXPECT_EQ(nuv::cli::runDoctor(env, out), 0);
  std::istringstream lines(readAll(out_));
  int checks = 0;
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("{\"schema\":2,\"event\":\"check\",\"check\":\"", 0) == 0) ++checks;
  EXPECT_EQ(checks, 5);
}

// explainAccess on stat values: mode, group membership, uaccess-style ACLs, root.
TEST(DoctorAccess, FollowsTheKernelsPermissionOrder) {
  using nuv::cli::AclEntry;
  const std::vector<AclEntry> uaccess = {{nuv::cli::kAclUserObj, 6, 0},
                                         {nuv::cli::kAclUser, 6, 1000},
                                         {nuv::cli::kAclGroupObj, 0, 0},
                                         {nuv::cli::kAclMask, 6, 0},
                                         {nuv::cli::kAclOther, 0, 0}};
  std::vector<AclEntry> maskedToRead = uaccess;
  maskedToRead[3].perm = 4;
  struct Case {
    const char* name;
    mode_t mode;
    gid_t nodeGroup;
    std::optional<std::vector<AclEntry>> acl;
    nuv::cli::UserIdentity user;
    bool readWrite;
  };
  const nuv::cli::UserIdentity desk{1000, 1000, {46}};
  const Case cases[] = {
      {"others rw", 0666, 0, std::nullopt, desk, true},
      {"owner only", 0600, 0, std::nullopt, desk, false},
      {"group the user is in", 0660, 46, std::nullopt, desk, true},
      {"group read only", 0640, 46, std::nullopt, desk, false},
      {"uaccess ACL entry", 0660, 0, uaccess, desk, true},
      {"ACL entry cut by mask", 0640, 0, maskedToRead, desk, false},
      {"ACL for another user", 0660, 0, uaccess, nuv::cli::UserIdentity{1001, 1001, {}}, false},
      {"root", 0000, 0, std::nullopt, nuv::cli::UserIdentity{0, 0, {}}, true},
  };
  for (const Case& c : cases) {
    struct stat node {};
    node.st_mode = S_IFCHR | c.mode;
    node.st_uid = 0;
    node.st_gid = c.nodeGroup;
    EXPECT_EQ(nuv::cli::explainAccess(node, c.acl, c.user).readWrite, c.readWrite) << c.name;
  }
}

TEST(DoctorAccess, DecodesTheAclXattrAndRefusesMalformedOnes) {
  const std::vector<std::uint8_t> good = {2,    0,    0,    0, 0x01, 0, 6,    0,    0xFF, 0xFF,
                                          0xFF, 0xFF, 0x02, 0, 6,    0, 0xE8, 0x03, 0,    0};
  const auto acl = nuv::cli::decodeAcl(good);
  ASSERT_TRUE(acl);
  EXPECT_EQ(*acl, (std::vector<nuv::cli::AclEntry>{{nuv::cli::kAclUserObj, 6, 0xFFFFFFFF},
                                                   {nuv::cli::kAclUser, 6, 1000}}));
  auto wrongVersion = good;
  wrongVersion[0] = 1;
  auto unknownTag = good;
  unknownTag[4] = 0x40;
  const std::vector<std::uint8_t> cut(good.begin(), good.end() - 3);
  for (const auto& bad : {wrongVersion, unknownTag, cut}) EXPECT_FALSE(nuv::cli::decodeAcl(bad));
}

// The ACL as the filesystem hands it over: a uaccess-style entry for a user who is not the owner.
TEST(DoctorAccess, ReadsTheNodesAclFromTheFile) {
  std::string path = (fs::temp_directory_path() / "doctor-acl-XXXXXX").string();
  const int fd = ::mkstemp(path.data());
  ASSERT_GE(fd, 0);
  ::close(fd);
  ::chmod(path.c_str(), 0660);
  const std::uint8_t acl[] = {2,    0, 0, 0,                           // version
                              0x01, 0, 6, 0, 0xFF, 0xFF, 0xFF, 0xFF,   // owner rw
                              0x02, 0, 6, 0, 0xE8, 0x03, 0,    0,      // user 1000 rw
                              0x04, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF,   // group ---
                              0x10, 0, 6, 0, 0xFF, 0xFF, 0xFF, 0xFF,   // mask rw
                              0x20, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};  // others ---
  const bool set = ::setxattr(path.c_str(), "system.posix_acl_access", acl, sizeof acl, 0) == 0;
  if (set) {
    for (const uid_t uid : {1000u, 1001u}) {
      const auto access = nuv::cli::inspectNodeAccess(path, nuv::cli::UserIdentity{uid, uid, {}});
      ASSERT_TRUE(access.ok());
      EXPECT_EQ(access.value().readWrite, uid == 1000) << uid;
    }
  }
  ::unlink(path.c_str());
  if (!set) GTEST_SKIP() << "the temporary directory's filesystem takes no ACLs";
}

// On a merged-/usr system /lib is a link to /usr/lib: one installed copy, not one hiding another.
TEST(DoctorUdevRule, ADirectoryReachedTwiceIsOneCopy) {
  const fs::path root =
      fs::temp_directory_path() / ("doctor-merged-usr-" + std::to_string(getpid()));
  fs::remove_all(root);
  writeText(root / "usr/lib/udev/rules.d" / nuv::hidraw::kUdevRuleFileName,
            nuv::hidraw::kUdevRuleText);
  fs::create_directory_symlink("usr/lib", root / "lib");
  const auto status = nuv::cli::checkUdevRule(
      {(root / "etc/udev/rules.d").string(), (root / "usr/lib/udev/rules.d").string(),
       (root / "lib/udev/rules.d").string()},
      nuv::hidraw::kUdevRuleFileName, nuv::hidraw::kUdevRuleText);
  EXPECT_EQ(status.verdict, Verdict::Ok) << status.detail;
  EXPECT_EQ(status.detail.find("hides"), std::string::npos) << status.detail;
  fs::remove_all(root);
}

TEST(DoctorUdevRule, PrintsTheRuleFileByteForByte) {
  std::ifstream source(NUV_UDEV_RULE_FILE, std::ios::binary);
  const std::string expected{std::istreambuf_iterator<char>(source), {}};
  ASSERT_FALSE(expected.empty());
  std::FILE* sink = std::tmpfile();
  nuv::cli::Output out(nuv::cli::OutputMode::Quiet, false, sink, sink);
  EXPECT_EQ(nuv::cli::runUdevRule(nuv::cli::Options{}, out), 0);
  EXPECT_EQ(readAll(sink), expected);
  std::fclose(sink);
}

}  // namespace
