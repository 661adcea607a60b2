// The benchmarks' way of running vornex-cli as a child process, as a script would.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace bench {

// Starts vornex-cli (VORNEX_CLI) with `args`, its standard output thrown away. -1 when it
// cannot be started.
inline pid_t spawnCli(std::vector<std::string> args) {
  args.insert(args.begin(), VORNEX_CLI);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// User and system seconds of a resource usage.
inline double cpuSeconds(const rusage& u) {
  return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec +
         u.ru_stime.tv_usec / 1e6;
}

}  // namespace bench
