// Ctrl-C for the device flows: the first SIGINT is handed to `onFirst` (the Stop button), the
// second ends the process at once with exit code 130.
//
// The signal handler only writes one byte to a pipe; a thread of this object reads it and does
// the work, so nothing but write(2) ever runs in the handler.
#pragma once

#include <signal.h>

#include <atomic>
#include <functional>
#include <thread>

namespace nuv::cli {

// What a second Ctrl-C leaves on standard error as the process ends.
inline constexpr char kInterruptedLine[] = "\nvornex-cli: interrupted\n";

class InterruptWatch {
 public:
  // `onFirst` runs on the watch's own thread and must only hand the request over (post it to
  // the GUI thread or the run loop). `beforeExit` runs on that thread too, just before the
  // process ends on a second Ctrl-C (to end a progress line): async-safe work only.
  InterruptWatch(std::function<void()> onFirst, std::function<void()> beforeExit);
  // Puts the previous SIGINT disposition back and ends the thread.
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  // Whether a Ctrl-C arrived (any thread).
  [[nodiscard]] bool interrupted() const;

 private:
  void watch();
  std::function<void()> onFirst_;
  std::function<void()> beforeExit_;
  int pipe_[2] = {-1, -1};
  int stop_[2] = {-1, -1};
  std::atomic<int> count_{0};
  struct sigaction previous_ {};
  bool installed_ = false;
  std::thread thread_;
};

}  // namespace nuv::cli
