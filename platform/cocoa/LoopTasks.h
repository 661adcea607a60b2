// The bookkeeping of a run loop: its sources, timers and descriptor watches, and which of them
// is due (LoopTasks), and the run loop that keeps its calls there (TaskRunLoop), for run loops
// that are not a toolkit's own (the headless one); such a loop adds its own clock, modal depth
// and way of waiting.
//
// Loop thread only, except signalSource, anySignalled and waitForSignal, which any thread may
// call. Ids are 1-based indexes that stay valid after a removal: a removed entry is never run
// again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

#include "platform/cocoa/Cocoa.h"

namespace nuv::cocoa {

class LoopTasks {
 public:
  void performAt(Clock::time_point at, Task task);
  [[nodiscard]] RunLoop::SourceId addSource(Task perform);
  // False when there is no such source.
  bool signalSource(RunLoop::SourceId id);
  void removeSource(RunLoop::SourceId id);
  [[nodiscard]] RunLoop::TimerId addTimer(Task fire);
  void armTimer(RunLoop::TimerId id, Clock::time_point at);
  void disarmTimer(RunLoop::TimerId id);
  void removeTimer(RunLoop::TimerId id);
  [[nodiscard]] RunLoop::WatchId watchReadable(int fd, Task onReadable);
  void unwatch(RunLoop::WatchId id);

  // Runs one due task: a signalled source, else a readable descriptor, else the earliest timer
  // due at `now` (timers due at the same time in the order they were armed). False when none.
  bool deliverOne(Clock::time_point now);
  [[nodiscard]] std::optional<Clock::time_point> nextTimerAt() const;
  [[nodiscard]] bool anySignalled() const;
  // Any thread: waits up to `timeout` (real time) until a source is signalled.
  [[nodiscard]] bool waitForSignal(std::chrono::milliseconds timeout) const;
  // The descriptors being watched, for a loop that polls them.
  template <class F>
  void forEachWatchedFd(F f) const {
    for (const Watch& w : watches_)
      if (w.alive) f(w.fd);
  }

 private:
  struct Source {
    Task perform;
    bool signalled = false;  // guarded by mutex_
    bool alive = true;
  };
  struct Timer {
    Task fire;
    std::optional<Clock::time_point> at;
    std::uint64_t order = 0;  // arming order
    bool oneShot = false;     // a delayed call: dropped after it ran
    bool alive = true;
  };
  struct Watch {
    int fd = -1;
    Task onReadable;
    bool alive = true;
  };
  bool deliverSource();
  bool deliverWatch();
  bool deliverTimer(Clock::time_point now);

  std::uint64_t timerOrder_ = 0;
  // Guards the signalled flags and the size of sources_; entries are added and removed on the
  // loop thread. Deques keep references stable as they grow.
  mutable std::mutex mutex_;
  mutable std::condition_variable signalled_;
  std::deque<Source> sources_;
  std::deque<Timer> timers_;
  std::deque<Watch> watches_;
};

// The calls of RunLoop on delayed calls, sources, timers and descriptor watches, kept in a
// LoopTasks. A derived loop adds now(), the modal sessions, and how it delivers and waits.
class TaskRunLoop : public RunLoop {
 public:
  void performAfterDelay(std::chrono::nanoseconds delay, Task task) override;
  [[nodiscard]] SourceId addSource(Task perform) override;
  void signalSource(SourceId id) override;
  void removeSource(SourceId id) override;
  [[nodiscard]] TimerId addTimer(Task fire) override;
  void armTimer(TimerId id, Clock::time_point at) override;
  void disarmTimer(TimerId id) override;
  void removeTimer(TimerId id) override;
  [[nodiscard]] WatchId watchReadable(int fd, Task onReadable) override;
  void unwatch(WatchId id) override;

 protected:
  // Any thread: a source was signalled (not after a signal of an unknown source). A loop that
  // blocks wakes up here; nothing by default.
  virtual void sourceSignalled() {}
  [[nodiscard]] LoopTasks& tasks() { return tasks_; }
  [[nodiscard]] const LoopTasks& tasks() const { return tasks_; }

 private:
  LoopTasks tasks_;
};

}  // namespace nuv::cocoa
