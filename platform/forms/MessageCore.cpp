#include "platform/forms/MessageCore.h"

#include <algorithm>

namespace nuv::forms {

void TimerList::add(Timer& timer) {
  if (std::find(timers_.begin(), timers_.end(), &timer) == timers_.end()) timers_.push_back(&timer);
}

void TimerList::remove(Timer& timer) {
  timers_.erase(std::remove(timers_.begin(), timers_.end(), &timer), timers_.end());
}

void TimerList::fireDue(Clock::time_point now) {
  // By index: a tick handler may disable or enable timers (never add or remove them).
  for (std::size_t i = 0; i < timers_.size(); ++i) {
    Timer& t = *timers_[i];
    if (!t.enabled_ || now < t.due_) continue;
    const auto period = std::max(t.interval_, std::chrono::milliseconds(1));
    const auto late = now - t.due_;
    t.due_ += period * (late / period + 1);
    if (t.onTimer) t.onTimer();
  }
}

std::optional<Clock::time_point> TimerList::nextDue() const {
  std::optional<Clock::time_point> next;
  for (const Timer* t : timers_) {
    if (t->enabled_ && (!next || t->due_ < *next)) next = t->due_;
  }
  return next;
}

MessageCore::MessageCore(std::function<void()> wake) : wake_(std::move(wake)) {}

bool MessageCore::synchronize(void (*fn)(void*), void* context) {
  SyncCall call{fn, context};
  {
    std::lock_guard lock(mutex_);
    if (shuttingDown_) return false;
    if (syncTail_ != nullptr) {
      syncTail_->next = &call;
    } else {
      syncHead_ = &call;
    }
    syncTail_ = &call;
  }
  queued_.notify_all();
  wake_();
  std::unique_lock lock(mutex_);
  handled_.wait(lock, [&] { return call.done || call.refused; });
  return call.done;
}

void MessageCore::post(const WindowMessage& message) {
  {
    std::lock_guard lock(mutex_);
    messages_.push_back(message);
  }
  wake_();
}

void MessageCore::post(std::function<void()> action) {
  {
    std::lock_guard lock(mutex_);
    actions_.push_back(std::move(action));
  }
  wake_();
}

void MessageCore::shutDown() {
  std::lock_guard lock(mutex_);
  shuttingDown_ = true;
  for (SyncCall* call = syncHead_; call != nullptr; call = call->next) call->refused = true;
  syncHead_ = syncTail_ = nullptr;
  handled_.notify_all();
}

void MessageCore::hook(MainWindowHook& hook) {
  if (std::find(hooks_.begin(), hooks_.end(), &hook) == hooks_.end()) hooks_.push_back(&hook);
}

void MessageCore::unhook(MainWindowHook& hook) {
  std::replace(hooks_.begin(), hooks_.end(), &hook, static_cast<MainWindowHook*>(nullptr));
}

void MessageCore::dispatchHooks(const WindowMessage& message) {
  // A hook may unhook itself (or another) while it runs: its slot is emptied, not erased.
  for (std::size_t i = 0; i < hooks_.size(); ++i) {
    if (hooks_[i] != nullptr && hooks_[i]->onMainWindowMessage(message)) break;
  }
  hooks_.erase(std::remove(hooks_.begin(), hooks_.end(), nullptr), hooks_.end());
}

bool MessageCore::pendingLocked() const {
  return syncHead_ != nullptr || !messages_.empty() || !actions_.empty();
}

bool MessageCore::pending() const {
  std::lock_guard lock(mutex_);
  return pendingLocked();
}

bool MessageCore::synchronizePending() const {
  std::lock_guard lock(mutex_);
  return syncHead_ != nullptr;
}

bool MessageCore::waitForSynchronize(std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return queued_.wait_for(lock, limit, [&] { return syncHead_ != nullptr; });
}

void MessageCore::dispatch(TimerList& timers, Clock::time_point now) {
  std::unique_lock lock(mutex_);
  std::size_t actions = actions_.size();
  std::size_t messages = messages_.size();
  while (actions-- > 0 && !actions_.empty()) {
    std::function<void()> action = std::move(actions_.front());
    actions_.pop_front();
    lock.unlock();
    action();
    lock.lock();
  }
  while (messages-- > 0 && !messages_.empty()) {
    const WindowMessage message = messages_.front();
    messages_.pop_front();
    lock.unlock();
    dispatchHooks(message);
    lock.lock();
  }
  runSyncCalls(lock);
  lock.unlock();
  timers.fireDue(now);
}

void MessageCore::dispatchSynchronized() {
  std::unique_lock lock(mutex_);
  runSyncCalls(lock);
}

void MessageCore::runSyncCalls(std::unique_lock<std::mutex>& lock) {
  SyncCall* const last = syncTail_;
  while (last != nullptr && syncHead_ != nullptr) {
    SyncCall* call = syncHead_;
    syncHead_ = call->next;
    if (syncHead_ == nullptr) syncTail_ = nullptr;
    lock.unlock();
    call->fn(call->context);
    lock.lock();
    call->done = true;
    handled_.notify_all();
    if (call == last) break;
  }
}

}  // namespace nuv::forms
