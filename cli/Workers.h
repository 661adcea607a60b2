// The worker processes of a download on several devices: each runs the ordinary single-device
// command (vornex-cli download IMAGE --device NODE --json ...) in a process of its own, so
// that one device's failure, hang or crash cannot disturb another's flow, and each program
// keeps its one controller per process. One contract; WorkersPosix.cpp starts real processes
// and tests start scripted ones.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "protocol/Result.h"

namespace nuv::cli {

class WorkerLauncher {
 public:
  virtual ~WorkerLauncher() = default;

  struct Started {
    int id = 0;         // names the worker in finish() and interrupt()
    int outputFd = -1;  // its standard output and error, non-blocking; read to EOF, then close
  };
  // Starts a worker with vornex-cli's arguments `args`. The reason when it cannot be started.
  [[nodiscard]] virtual nuv::Result<Started> start(const std::vector<std::string>& args) = 0;
  // After its output ended: waits for the worker and returns its exit code (128 + N when
  // signal N ended it).
  [[nodiscard]] virtual int finish(int id) = 0;
  // Hands a Ctrl-C on to the worker (its Stop button; a second one ends it at once).
  virtual void interrupt(int id) = 0;
};

// Workers that are this program again (/proc/self/exe), each in a process group of its own
// (a Ctrl-C at the terminal reaches the parent only, which hands it on once). A worker whose
// parent dies gets a Ctrl-C, so that it stops its device rather than writing on unwatched.
[[nodiscard]] std::unique_ptr<WorkerLauncher> makeProcessLauncher();

}  // namespace nuv::cli
