// Runs vornex-cli as a child process, as a script would, and keeps what it printed.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace clitest {

struct Run {
  int exitCode = -1;
  std::string out;
  std::string err;
};

inline std::string slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A started child whose output goes to files in `dir`.
class Child {
 public:
  // Runs `program` (vornex-cli unless another is named, such as a wrapper that runs it as
  // another user) with `args`.
  Child(const std::filesystem::path& dir, const std::vector<std::string>& args,
        const std::string& program = VORNEX_CLI)
      : outPath_(dir / "stdout"), errPath_(dir / "stderr") {
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  [[nodiscard]] bool started() const { return pid_ > 0; }
  [[nodiscard]] std::string out() const { return slurp(outPath_); }
  [[nodiscard]] std::string err() const { return slurp(errPath_); }
  void signal(int sig) const { ::kill(pid_, sig); }
  // The signal with a value, as sigqueue(3) sends it.
  void signal(int sig, int value) const { ::sigqueue(pid_, sig, sigval{.sival_int = value}); }
  // Waits (real time, at most `limit`) until standard output holds `text`.
  bool waitForOutput(const std::string& text, std::chrono::seconds limit) const {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (out().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  Run wait() {
    int status = 0;
    Run r;
    if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_)
      r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    r.out = slurp(outPath_);
    r.err = slurp(errPath_);
    return r;
  }
  // As wait(), but gives up after `limit` (real time): nothing when the child still runs.
  std::optional<Run> waitFor(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (pid_ > 0) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        Run r;
        r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
        r.out = slurp(outPath_);
        r.err = slurp(errPath_);
        return r;
      }
      if (std::chrono::steady_clock::now() >= end) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      (void)wait();
    }
  }

 private:
  std::filesystem::path outPath_, errPath_;
  pid_t pid_ = -1;
};

inline Run run(const std::filesystem::path& dir, const std::vector<std::string>& args) {
  Child child(dir, args);
  return child.wait();
}

}  // namespace clitest
