#include "cli/Doctor.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "cli/ExitCodes.h"
#include "cli/NodeHolders.h"
#include "cli/UdevRuleCheck.h"
#include "platform/hidraw/UdevRuleText.h"
#include "protocol/DeviceIdentity.h"

namespace nuv::cli {
namespace {

namespace hr = nuv::hidraw;

// doctor found a problem other than a missing or inaccessible device.

// Writes the check lines and keeps count of the problems, telling apart those that only mean
// "no usable device" from the rest.
class CheckReport {
 public:
  explicit CheckReport(Output& out) : out_(out) {}

  void add(std::string_view check, Verdict verdict, const std::string& detail,
           bool aboutDevicePresence = false) {
    out_.check(check, verdict, detail);
    if (verdict != Verdict::Problem) return;
    ++problems_;
    if (!aboutDevicePresence) ++otherProblems_;
  }

  [[nodiscard]] int finish(int usableDevices) {
    if (problems_ == 0) {
      out_.status("All checks passed.", Tone::Success);
      out_.result(kExitSuccess, "");
      return kExitSuccess;
    }
    const int code =
        otherProblems_ == 0 && usableDevices == 0 ? int(kExitNoDevice) : kExitDoctorProblem;
    out_.result(code, std::to_string(problems_) + (problems_ == 1 ? " problem" : " problems") +
                          " found; see the lines above");
    return code;
  }

 private:
  Output& out_;
  int problems_ = 0;
  int otherProblems_ = 0;
};

void checkHidraw(const DoctorPaths& paths, CheckReport& report) {
  const std::string classDir = paths.sysRoot + "/class/hidraw";
  struct stat dir {};
  if (::stat(classDir.c_str(), &dir) == 0 && S_ISDIR(dir.st_mode)) {
    report.add("hidraw", Verdict::Ok, "the kernel has hidraw support (" + classDir + ")");
    return;
  }
  const std::string devicesFile = paths.procRoot + "/devices";
  std::ifstream devices(devicesFile);
  for (std::string line; std::getline(devices, line);) {
    if (line.size() > 7 && line.compare(line.size() - 7, 7, " hidraw") == 0) {
      report.add("hidraw", Verdict::Ok, "the kernel has hidraw support (" + devicesFile + ")");
      return;
    }
  }
  report.add("hidraw", Verdict::Problem,
             "the kernel has no hidraw support (no " + classDir + ", no hidraw in " + devicesFile +
                 "): load it with sudo modprobe hidraw, or use a kernel built with CONFIG_HIDRAW");
}

void checkDevicesFound(const DoctorEnvironment& env, CheckReport& report) {
  if (!env.devices) {
    report.add("devices", Verdict::Problem,
               "cannot list HID devices through udev: " + env.devices.error().describe(), true);
    return;
  }
  const auto& devices = env.devices.value();
  if (devices.empty()) {
    report.add("devices", Verdict::Problem,
               "no update device (USB ffff:0100) is attached: plug it in; if it is, check that "
               "lsusb lists ffff:0100",
               true);
    return;
  }
  std::string nodes;
  for (const auto& d : devices) nodes += (nodes.empty() ? "" : ", ") + d.devnode;
  report.add("devices", Verdict::Ok,
             std::to_string(devices.size()) +
                 (devices.size() == 1 ? " update device" : " update devices") +
                 " (USB ffff:0100): " + nodes);
}

// Returns whether this user may read and write the node.
bool checkAccess(const DoctorEnvironment& env, const hr::HidrawDevice& device, bool ruleOk,
                 CheckReport& report) {
  const auto access = inspectNodeAccess(device.devnode, env.user);
  if (!access) {
    report.add("access", Verdict::Problem,
               device.devnode + ": cannot look at it: " + access.error().describe(), true);
    return false;
  }
  const auto& found = access.value();
  if (found.readWrite) {
    report.add("access", Verdict::Ok,
               device.devnode + ": may be read and written; " + found.reason);
    return true;
  }
  const std::string advice =
      ruleOk ? "udev's uaccess ACL goes to the user with an active session at the seat: log in "
               "at this machine's own screen (not only over ssh) and replug the device, or run "
               "vornex-cli as root"
             : "install the current udev rule (see the udev-rule line) and replug the device";
  report.add("access", Verdict::Problem,
             device.devnode + ": this user may not read and write it; " + found.reason +
                 "; to fix: " + advice,
             true);
  return false;
}

void checkInUse(const hr::HidrawDevice& device, const NodeHolderScan& scan, CheckReport& report) {
  const auto held = scan.holders.find(device.devnode);
  if (held != scan.holders.end()) {
    std::string who;
    for (const auto& h : held->second)
      who += (who.empty() ? "" : ", ") + std::string("pid ") + std::to_string(h.pid) + " (" +
             h.command + ")";
    report.add("in-use", Verdict::Problem,
               device.devnode + ": open in " + who +
                   "; close that program before an update, or the two disturb each other");
    return;
  }
  if (scan.uncheckedProcesses > 0) {
    report.add("in-use", Verdict::Warning,
               device.devnode +
                   ": no other process seen with it open, but could not check "
                   "every process (" +
                   std::to_string(scan.uncheckedProcesses) +
                   " not readable by this user; run as root to check all)");
    return;
  }
  report.add("in-use", Verdict::Ok, device.devnode + ": no other process has it open");
}

}  // namespace

int runDoctor(const DoctorEnvironment& env, Output& out) {
  CheckReport report(out);
  checkHidraw(env.paths, report);
  const UdevRuleStatus rule =
      checkUdevRule(env.paths.ruleDirs, hr::kUdevRuleFileName, hr::kUdevRuleText);
  report.add("udev-rule", rule.verdict, rule.detail);
  checkDevicesFound(env, report);
  if (!env.devices) return report.finish(0);

  const auto& devices = env.devices.value();
  int usable = 0;
  for (const auto& device : devices)
    if (checkAccess(env, device, rule.verdict == Verdict::Ok, report)) ++usable;
  if (!devices.empty()) {
    std::vector<std::string> nodes;
    for (const auto& device : devices) nodes.push_back(device.devnode);
    const NodeHolderScan scan = findNodeHolders(env.paths.procRoot, nodes, env.self);
    for (const auto& device : devices) checkInUse(device, scan, report);
  }
  return report.finish(usable);
}

int runDoctor(const Options& options, Output& out) {
  (void)options;  // doctor has no options of its own; --json and --quiet are in `out`
  DoctorEnvironment env;
  env.user = UserIdentity::current();
  env.self = ::getpid();
  auto enumerator =
      hr::Enumerator::create(hr::DeviceFilter{nuv::kUpdateVendorId, nuv::kUpdateProductId});
  if (enumerator)
    env.devices = enumerator.value().scan();
  else
    env.devices = enumerator.error();
  return runDoctor(env, out);
}

int runUdevRule(const Options& options, Output& out) {
  (void)options;
  out.verbatim(hr::kUdevRuleText);
  out.result(kExitSuccess, "");
  return kExitSuccess;
}

}  // namespace nuv::cli
