#include "cli/Interrupt.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace nuv::cli {
namespace {

// The one thing the handler may touch: the write end of the self-pipe.
volatile sig_atomic_t gInterruptFd = -1;

extern "C" void onSigint(int) {
  const int saved = errno;
  const int fd = gInterruptFd;
  if (fd >= 0) {
    const char byte = 1;
    (void)!::write(fd, &byte, 1);
  }
  errno = saved;
}

}  // namespace

InterruptWatch::InterruptWatch(std::function<void()> onFirst, std::function<void()> beforeExit)
    : onFirst_(std::move(onFirst)), beforeExit_(std::move(beforeExit)) {
  // Without the pipes Ctrl-C keeps its default action: the process ends at once, which a
  // script still sees as a failure (killed by SIGINT), never as a success.
  if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0 || ::pipe2(stop_, O_CLOEXEC) != 0) return;
  gInterruptFd = pipe_[1];
  struct sigaction action {};
  action.sa_handler = &onSigint;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  installed_ = ::sigaction(SIGINT, &action, &previous_) == 0;
  thread_ = std::thread([this] { watch(); });
}

InterruptWatch::~InterruptWatch() {
  if (installed_) (void)::sigaction(SIGINT, &previous_, nullptr);
  gInterruptFd = -1;
  if (thread_.joinable()) {
    const char byte = 0;
    (void)!::write(stop_[1], &byte, 1);
    thread_.join();
  }
  for (int fd : {pipe_[0], pipe_[1], stop_[0], stop_[1]})
    if (fd >= 0) ::close(fd);
}

bool InterruptWatch::interrupted() const {
  return count_.load() > 0;
}

void InterruptWatch::watch() {
  for (;;) {
    pollfd fds[2] = {{pipe_[0], POLLIN, 0}, {stop_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    char bytes[16];
    const ssize_t n = ::read(pipe_[0], bytes, sizeof bytes);
    for (ssize_t i = 0; i < n; ++i) {
      if (count_.fetch_add(1) == 0) {
        if (onFirst_) onFirst_();
      } else {
        if (beforeExit_) beforeExit_();
        std::_Exit(130);
      }
    }
  }
}

}  // namespace nuv::cli
