// doctor: checks what the update needs on this Linux system and says, one line per check, what
// is fine and what to do about the rest. udev-rule: prints the udev rule, for installs that
// cannot place it in /etc themselves.
//
// doctor's checks, in order: "hidraw" (the kernel's hidraw support), "udev-rule" (where the
// rule is installed and whether udev uses the current text), "devices" (the update devices
// attached), then per node "access" (whether this user may read and write it, and why) and
// "in-use" (other processes that have it open). Exit codes: 0 when every check is ok (warnings
// allowed); kExitNoDevice when the only problems are that no update device is found or none
// can be opened; 1 otherwise.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "cli/NodeAccess.h"
#include "cli/Options.h"
#include "cli/Output.h"
#include "platform/hidraw/Hidraw.h"

namespace nuv::cli {

// Where doctor looks. The defaults are the system's; tests point them into a temporary tree.
struct DoctorPaths {
  std::string sysRoot = "/sys";
  std::string procRoot = "/proc";
  // udev's rule directories, highest precedence first: a file in an earlier directory hides
  // the file of the same name in a later one.
  std::vector<std::string> ruleDirs = {"/etc/udev/rules.d", "/run/udev/rules.d",
                                       "/usr/lib/udev/rules.d", "/lib/udev/rules.d"};
};

// Everything doctor examines, so that the checks run on any tree and any device list.
struct DoctorEnvironment {
  DoctorPaths paths;
  // The update devices found (vendor FFFF, product 0100), or why they could not be listed.
  nuv::Result<std::vector<nuv::hidraw::HidrawDevice>> devices =
      std::vector<nuv::hidraw::HidrawDevice>{};
  UserIdentity user;
  pid_t self = 0;  // this process, not counted as another holder of a node
};

// doctor on this system: the real paths, udev's device list and this process's user.
[[nodiscard]] int runDoctor(const Options& options, Output& out);
// doctor on `environment`; what the other overload runs.
[[nodiscard]] int runDoctor(const DoctorEnvironment& environment, Output& out);

// Writes the udev rule file's exact text. Exit code 0.
[[nodiscard]] int runUdevRule(const Options& options, Output& out);

}  // namespace nuv::cli
