// Fakes of the several-device run's seams: a device source the test plugs devices into, and
// worker "processes" that say scripted lines and end with scripted exit codes.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "cli/DeviceSource.h"
#include "cli/Workers.h"

namespace clitest {

inline nuv::cli::DeviceRecord device(const std::string& node, const std::string& serial,
                                     const std::string& identity = {}) {
  nuv::cli::DeviceRecord d;
  d.node = node;
  d.identity = identity.empty() ? node : identity;
  d.serial = serial;
  d.usbPort = "1-" + node.substr(node.size() - 1);
  return d;
}

// Devices the test plugs in and out from any thread; each change is announced on a pipe.
class FakeSource final : public nuv::cli::DeviceSource {
 public:
  FakeSource() { (void)!::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK); }
  ~FakeSource() override {
    ::close(pipe_[0]);
    ::close(pipe_[1]);
  }
  void plug(const nuv::cli::DeviceRecord& d) {
    {
      std::lock_guard lock(mutex_);
      devices_.push_back(d);
    }
    announce();
  }
  void unplug(const std::string& identity) {
    {
      std::lock_guard lock(mutex_);
      std::erase_if(devices_, [&](const auto& d) { return d.identity == identity; });
    }
    announce();
  }
  void announce() { (void)!::write(pipe_[1], "c", 1); }

  std::optional<nuv::Error> watch() override { return std::nullopt; }
  int changeFd() const override { return pipe_[0]; }
  bool takeChanges() override {
    char bytes[64];
    bool any = false;
    while (::read(pipe_[0], bytes, sizeof bytes) > 0) any = true;
    return any;
  }
  nuv::Result<std::vector<nuv::cli::DeviceRecord>> scan() override {
    std::lock_guard lock(mutex_);
    return devices_;
  }

 private:
  std::mutex mutex_;
  std::vector<nuv::cli::DeviceRecord> devices_;
  int pipe_[2] = {-1, -1};
};

// Each start of a worker for a node takes that node's next script: the lines it says, and its
// exit code. A node without a script left succeeds.
class FakeLauncher final : public nuv::cli::WorkerLauncher {
 public:
  struct Script {
    int exitCode = 0;
    std::vector<std::string> lines;
  };
  void script(const std::string& node, std::vector<Script> attempts) {
    std::lock_guard lock(mutex_);
    for (auto& a : attempts) scripts_[node].push_back(std::move(a));
  }
  // Runs when the worker for `node` ends, before its exit code is taken (to unplug it there).
  std::function<void(const std::string& node, int attempt)> onFinish;

  nuv::Result<Started> start(const std::vector<std::string>& args) override {
    std::string node;
    for (std::size_t i = 0; i + 1 < args.size(); ++i)
      if (args[i] == "--device") node = args[i + 1];
    Script s;
    {
      std::lock_guard lock(mutex_);
      auto& queue = scripts_[node];
      if (!queue.empty()) {
        s = queue.front();
        queue.pop_front();
      }
      started_.push_back(node);
    }
    changed_.notify_all();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return nuv::Error::message("pipe");
    for (const auto& line : s.lines) (void)!::write(fds[1], (line + "\n").data(), line.size() + 1);
    ::close(fds[1]);
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    const int id = static_cast<int>(workers_.size());
    workers_.push_back({node, s.exitCode});
    return Started{id, fds[0]};
  }
  int finish(int id) override {
    const auto& w = workers_.at(static_cast<std::size_t>(id));
    if (onFinish) {
      int attempt = 0;
      for (int i = 0; i <= id; ++i) attempt += workers_[static_cast<std::size_t>(i)].node == w.node;
      onFinish(w.node, attempt);
    }
    return w.exitCode;
  }
  void interrupt(int) override { ++interrupts; }

  std::vector<std::string> started() {
    std::lock_guard lock(mutex_);
    return started_;
  }
  // Waits (a generous while, which only a failing test uses up) for `n` starts.
  bool waitForStarts(std::size_t n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return started_.size() >= n; });
  }
  int interrupts = 0;

 private:
  struct Worker {
    std::string node;
    int exitCode;
  };
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, std::deque<Script>> scripts_;
  std::vector<std::string> started_;
  std::vector<Worker> workers_;
};

}  // namespace clitest
