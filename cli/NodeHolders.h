// Which processes have a device node open, from their /proc/PID/fd links.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace nuv::cli {

struct NodeHolder {
  pid_t pid = 0;
  std::string command;  // /proc/PID/comm; "?" when it cannot be read
};

struct NodeHolderScan {
  std::map<std::string, std::vector<NodeHolder>> holders;  // by node path; only nodes held
  std::size_t uncheckedProcesses = 0;                      // whose fd list this user may not read
};

// Looks at every process under `procRoot` except `self` for an fd link whose target is one of
// `nodes` (compared as text: the kernel shows the path the node was opened by, /dev/hidrawN).
// Processes that end during the scan are skipped silently.
[[nodiscard]] NodeHolderScan findNodeHolders(const std::string& procRoot,
                                             const std::vector<std::string>& nodes, pid_t self);

}  // namespace nuv::cli
