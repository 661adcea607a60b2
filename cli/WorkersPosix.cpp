// Worker processes with fork and exec.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <map>

#include "cli/Workers.h"

namespace nuv::cli {
namespace {

class ProcessLauncher final : public WorkerLauncher {
 public:
  explicit ProcessLauncher(std::string program) : program_(std::move(program)) {}

  nuv::Result<Started> start(const std::vector<std::string>& args) override {
    std::vector<std::string> all{program_};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return nuv::Error::fromErrno("pipe", errno);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
      const int error = errno;
      ::close(pipeFds[0]);
      ::close(pipeFds[1]);
      return nuv::Error::fromErrno("fork", error);
    }
    if (pid == 0) {
      // The child: only async-signal-safe calls until exec.
      ::setpgid(0, 0);
      ::prctl(PR_SET_PDEATHSIG, SIGINT);
      if (::getppid() != parent) ::_exit(130);  // the parent is already gone
      const int devNull = ::open("/dev/null", O_RDONLY);
      if (devNull >= 0) ::dup2(devNull, STDIN_FILENO);
      ::dup2(pipeFds[1], STDOUT_FILENO);
      ::dup2(pipeFds[1], STDERR_FILENO);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::setpgid(pid, pid);  // also here, so that a Ctrl-C forwarded at once finds the group
    ::close(pipeFds[1]);
    ::fcntl(pipeFds[0], F_SETFL, ::fcntl(pipeFds[0], F_GETFL) | O_NONBLOCK);
    const int id = nextId_++;
    pids_[id] = pid;
    return Started{id, pipeFds[0]};
  }

  int finish(int id) override {
    const auto it = pids_.find(id);
    if (it == pids_.end()) return 1;
    int status = 0;
    pid_t got = 0;
    do {
      got = ::waitpid(it->second, &status, 0);
    } while (got < 0 && errno == EINTR);
    pids_.erase(it);
    if (got < 0) return 1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
  }

  void interrupt(int id) override {
    const auto it = pids_.find(id);
    if (it != pids_.end()) ::kill(it->second, SIGINT);
  }

 private:
  std::string program_;
  std::map<int, pid_t> pids_;
  int nextId_ = 1;
};

}  // namespace

std::unique_ptr<WorkerLauncher> makeProcessLauncher() {
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  std::string program = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : "vornex-cli";
  return std::make_unique<ProcessLauncher>(std::move(program));
}

}  // namespace nuv::cli
