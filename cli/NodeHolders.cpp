#include "cli/NodeHolders.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <memory>

namespace nuv::cli {
namespace {

using DirHandle = std::unique_ptr<DIR, int (*)(DIR*)>;

[[nodiscard]] DirHandle openDir(const std::string& path) {
  return DirHandle(::opendir(path.c_str()), &::closedir);
}

[[nodiscard]] bool isNumber(const char* name) {
  if (*name == '\0') return false;
  for (; *name != '\0'; ++name)
    if (*name < '0' || *name > '9') return false;
  return true;
}

[[nodiscard]] std::string linkTarget(const std::string& path) {
  std::string target(4096, '\0');
  const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
  target.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return target;
}

[[nodiscard]] std::string commandOf(const std::string& processDir) {
  std::ifstream file(processDir + "/comm");
  std::string command;
  if (!std::getline(file, command) || command.empty()) return "?";
  return command;
}

}  // namespace

NodeHolderScan findNodeHolders(const std::string& procRoot, const std::vector<std::string>& nodes,
                               pid_t self) {
  NodeHolderScan scan;
  DirHandle processes = openDir(procRoot);
  if (!processes) {
    ++scan.uncheckedProcesses;
    return scan;
  }
  while (const dirent* process = ::readdir(processes.get())) {
    if (!isNumber(process->d_name)) continue;
    const auto pid = static_cast<pid_t>(std::strtol(process->d_name, nullptr, 10));
    if (pid == self) continue;
    const std::string processDir = procRoot + "/" + process->d_name;
    DirHandle fds = openDir(processDir + "/fd");
    if (!fds) {
      if (errno != ENOENT) ++scan.uncheckedProcesses;
      continue;
    }
    while (const dirent* fd = ::readdir(fds.get())) {
      if (!isNumber(fd->d_name)) continue;
      const std::string target = linkTarget(processDir + "/fd/" + fd->d_name);
      if (std::find(nodes.begin(), nodes.end(), target) == nodes.end()) continue;
      auto& list = scan.holders[target];
      const bool listed =
          std::any_of(list.begin(), list.end(), [&](const NodeHolder& h) { return h.pid == pid; });
      // One entry per process and node, however many fds it has on it.
      if (!listed) list.push_back({pid, commandOf(processDir)});
    }
  }
  return scan;
}

}  // namespace nuv::cli
