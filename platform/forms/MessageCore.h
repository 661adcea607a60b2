// The message queue shared by the backends: calls handed over from other threads (waiting
// for their turn on the GUI thread), messages posted for the main window and its hooks, user
// actions, and timers. A backend adds how the GUI thread waits and how it is woken.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/forms/Forms.h"

namespace nuv::forms {

class TimerList {
 public:
  void add(Timer& timer);
  void remove(Timer& timer);
  // Fires every enabled timer whose period ran out, at most once each (missed periods fold
  // into one tick, as WM_TIMER does), and schedules its next period.
  void fireDue(Clock::time_point now);
  // The earliest due time of an enabled timer, if any.
  [[nodiscard]] std::optional<Clock::time_point> nextDue() const;

 private:
  std::vector<Timer*> timers_;
};

class MessageCore {
 public:
  // `wake` is called, with no lock held, from any thread whenever work was queued.
  explicit MessageCore(std::function<void()> wake);

  [[nodiscard]] bool synchronize(void (*fn)(void*), void* context);
  void post(const WindowMessage& message);
  void post(std::function<void()> action);
  void shutDown();

  void hook(MainWindowHook& hook);
  void unhook(MainWindowHook& hook);

  // GUI thread: one round. Only what was pending on entry is handled, so that a reader that
  // delivers again at once is seen in the next round and a round always ends. Order: user
  // actions, window messages, handed-over calls, then timers (ticks come last, as WM_TIMER).
  void dispatch(TimerList& timers, Clock::time_point now);
  // GUI thread: the handed-over calls pending on entry, nothing else.
  void dispatchSynchronized();
  [[nodiscard]] bool pending() const;
  [[nodiscard]] bool synchronizePending() const;
  [[nodiscard]] bool waitForSynchronize(std::chrono::milliseconds limit) const;

 private:
  // Lives on the stack of the thread that called synchronize, so a call allocates nothing.
  struct SyncCall {
    void (*fn)(void*);
    void* context;
    SyncCall* next = nullptr;
    bool done = false;
    bool refused = false;
  };
  [[nodiscard]] bool pendingLocked() const;
  void dispatchHooks(const WindowMessage& message);
  void runSyncCalls(std::unique_lock<std::mutex>& lock);

  std::function<void()> wake_;
  mutable std::mutex mutex_;
  std::condition_variable handled_;         // synchronize callers wait here
  mutable std::condition_variable queued_;  // waitForSynchronize waits here
  SyncCall* syncHead_ = nullptr;
  SyncCall* syncTail_ = nullptr;
  std::deque<WindowMessage> messages_;
  std::deque<std::function<void()>> actions_;
  bool shuttingDown_ = false;
  std::vector<MainWindowHook*> hooks_;
};

}  // namespace nuv::forms
