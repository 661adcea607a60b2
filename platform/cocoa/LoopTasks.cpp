#include "platform/cocoa/LoopTasks.h"

#include <poll.h>

#include <algorithm>

namespace nuv::cocoa {

void LoopTasks::performAt(Clock::time_point at, Task task) {
  Timer& t = timers_.emplace_back();
  t.fire = std::move(task);
  t.at = at;
  t.order = timerOrder_++;
  t.oneShot = true;
}

RunLoop::SourceId LoopTasks::addSource(Task perform) {
  std::lock_guard lock(mutex_);
  sources_.push_back(Source{std::move(perform)});
  return static_cast<RunLoop::SourceId>(sources_.size());
}

bool LoopTasks::signalSource(RunLoop::SourceId id) {
  {
    std::lock_guard lock(mutex_);
    if (id <= 0 || static_cast<std::size_t>(id) > sources_.size()) return false;
    sources_[static_cast<std::size_t>(id) - 1].signalled = true;
  }
  signalled_.notify_all();
  return true;
}

void LoopTasks::removeSource(RunLoop::SourceId id) {
  std::lock_guard lock(mutex_);
  if (id <= 0 || static_cast<std::size_t>(id) > sources_.size()) return;
  // The slot stays (ids are indexes); its task goes when it is not running.
  sources_[static_cast<std::size_t>(id) - 1].alive = false;
  sources_[static_cast<std::size_t>(id) - 1].signalled = false;
}

RunLoop::TimerId LoopTasks::addTimer(Task fire) {
  Timer& t = timers_.emplace_back();
  t.fire = std::move(fire);
  return static_cast<RunLoop::TimerId>(timers_.size());
}

void LoopTasks::armTimer(RunLoop::TimerId id, Clock::time_point at) {
  if (id <= 0 || static_cast<std::size_t>(id) > timers_.size()) return;
  Timer& t = timers_[static_cast<std::size_t>(id) - 1];
  if (!t.alive) return;
  t.at = at;
  t.order = timerOrder_++;
}

void LoopTasks::disarmTimer(RunLoop::TimerId id) {
  if (id <= 0 || static_cast<std::size_t>(id) > timers_.size()) return;
  timers_[static_cast<std::size_t>(id) - 1].at.reset();
}

void LoopTasks::removeTimer(RunLoop::TimerId id) {
  if (id <= 0 || static_cast<std::size_t>(id) > timers_.size()) return;
  timers_[static_cast<std::size_t>(id) - 1].at.reset();
  timers_[static_cast<std::size_t>(id) - 1].alive = false;
}

RunLoop::WatchId LoopTasks::watchReadable(int fd, Task onReadable) {
  watches_.push_back(Watch{fd, std::move(onReadable)});
  return static_cast<RunLoop::WatchId>(watches_.size());
}

void LoopTasks::unwatch(RunLoop::WatchId id) {
  if (id <= 0 || static_cast<std::size_t>(id) > watches_.size()) return;
  watches_[static_cast<std::size_t>(id) - 1].alive = false;
}

bool LoopTasks::deliverSource() {
  Source* due = nullptr;
  {
    std::lock_guard lock(mutex_);
    for (Source& s : sources_) {
      if (s.alive && s.signalled) {
        s.signalled = false;
        due = &s;
        break;
      }
    }
  }
  if (due == nullptr) return false;
  due->perform();
  return true;
}

bool LoopTasks::deliverWatch() {
  for (Watch& w : watches_) {
    if (!w.alive) continue;
    pollfd p{w.fd, POLLIN, 0};
    if (::poll(&p, 1, 0) > 0 && p.revents != 0) {
      w.onReadable();
      return true;
    }
  }
  return false;
}

bool LoopTasks::deliverTimer(Clock::time_point now) {
  Timer* due = nullptr;
  for (Timer& t : timers_) {
    if (!t.alive || !t.at || *t.at > now) continue;
    if (due == nullptr || *t.at < *due->at || (*t.at == *due->at && t.order < due->order)) due = &t;
  }
  if (due == nullptr) return false;
  due->at.reset();
  if (due->oneShot) {
    due->alive = false;
    Task task = std::move(due->fire);
    task();
  } else {
    due->fire();
  }
  return true;
}

bool LoopTasks::deliverOne(Clock::time_point now) {
  return deliverSource() || deliverWatch() || deliverTimer(now);
}

std::optional<Clock::time_point> LoopTasks::nextTimerAt() const {
  std::optional<Clock::time_point> next;
  for (const Timer& t : timers_)
    if (t.alive && t.at && (!next || *t.at < *next)) next = t.at;
  return next;
}

bool LoopTasks::anySignalled() const {
  std::lock_guard lock(mutex_);
  return std::any_of(sources_.begin(), sources_.end(),
                     [](const Source& s) { return s.alive && s.signalled; });
}

bool LoopTasks::waitForSignal(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return signalled_.wait_for(lock, timeout, [this] {
    return std::any_of(sources_.begin(), sources_.end(),
                       [](const Source& s) { return s.alive && s.signalled; });
  });
}

// ---- TaskRunLoop --------------------------------------------------------------------------

void TaskRunLoop::performAfterDelay(std::chrono::nanoseconds delay, Task task) {
  tasks_.performAt(now() + std::chrono::duration_cast<Clock::duration>(delay), std::move(task));
}

RunLoop::SourceId TaskRunLoop::addSource(Task perform) {
  return tasks_.addSource(std::move(perform));
}
void TaskRunLoop::signalSource(SourceId id) {
  if (tasks_.signalSource(id)) sourceSignalled();
}
void TaskRunLoop::removeSource(SourceId id) {
  tasks_.removeSource(id);
}
RunLoop::TimerId TaskRunLoop::addTimer(Task fire) {
  return tasks_.addTimer(std::move(fire));
}
void TaskRunLoop::armTimer(TimerId id, Clock::time_point at) {
  tasks_.armTimer(id, at);
}
void TaskRunLoop::disarmTimer(TimerId id) {
  tasks_.disarmTimer(id);
}
void TaskRunLoop::removeTimer(TimerId id) {
  tasks_.removeTimer(id);
}
RunLoop::WatchId TaskRunLoop::watchReadable(int fd, Task onReadable) {
  return tasks_.watchReadable(fd, std::move(onReadable));
}
void TaskRunLoop::unwatch(WatchId id) {
  tasks_.unwatch(id);
}

}  // namespace nuv::cocoa
