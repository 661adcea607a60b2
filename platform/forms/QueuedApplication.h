// The part of the application object that the backends with a queue of their own share
// (headless, Qt, Win32): calls handed over from other threads, messages posted for the main
// window and its hooks, user actions and timers go through one MessageCore and one TimerList,
// and the title, the main form and the end of the message loop are kept here. A backend adds
// which thread is its GUI thread, how that thread waits and is woken, its own events, and its
// windows and dialogs.
//
// Threads: as Application. synchronize, postMainWindowMessage and shutDown may be called from
// any thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/forms/Forms.h"

namespace nuv::forms {

class MessageCore;
class TimerList;

class QueuedApplication : public Application {
 public:
  // Shuts down (see shutDown) if the backend has not done so already.
  ~QueuedApplication() override;
  QueuedApplication(const QueuedApplication&) = delete;
  QueuedApplication& operator=(const QueuedApplication&) = delete;

  // On the GUI thread `fn` runs at once (waiting for ourselves would never end); from another
  // thread the call is queued and waits for its turn.
  [[nodiscard]] bool synchronize(void (*fn)(void*), void* context) override;
  // The backend's own events (processWindowMessages), then one round of the queue.
  void processMessages() override;
  void checkSynchronize() override;
  void postMainWindowMessage(const WindowMessage& message) override;
  void hookMainWindow(MainWindowHook& hook) override;
  void unhookMainWindow(MainWindowHook& hook) override;

  void setTitle(std::string title) override { title_ = std::move(title); }
  [[nodiscard]] const std::string& title() const override { return title_; }
  [[nodiscard]] const Clock& clock() const override { return clock_; }
  void addTimer(Timer& timer) override;
  void removeTimer(Timer& timer) override;
  void setMainForm(Form& form) override { mainForm_ = &form; }
  void terminate() override { terminated_ = true; }
  [[nodiscard]] bool terminated() const override { return terminated_; }

  // Any thread: from now on synchronize returns false; callers blocked in it are released.
  void shutDown();

 protected:
  // `wake` is called from any thread, with no lock held, whenever work was queued: it ends a
  // wait of the GUI thread in waitForMessages. It must not allocate (hand-overs are per report).
  QueuedApplication(const Clock& clock, std::function<void()> wake);

  // The backend's toolkit events (clicks, painting), handled before each round of the queue.
  virtual void processWindowMessages() {}
  // The message loop of run(): rounds of processMessages, each followed by a wait of at most
  // `idleWait`, until terminated.
  void runMessageLoop(std::chrono::milliseconds idleWait);
  // For a wait on the clock of the wall: nothing when work is pending or a timer is due, so
  // that the caller returns at once; otherwise `timeout`, cut short at the next tick.
  [[nodiscard]] std::optional<std::chrono::milliseconds> timeToWait(
      std::chrono::milliseconds timeout) const;
  // Runs the main form's onActivate, as showing it or closing a box does.
  void activateMainForm();
  [[nodiscard]] Form* mainForm() const { return mainForm_; }
  [[nodiscard]] MessageCore& queue() const { return *core_; }
  [[nodiscard]] const TimerList& timers() const { return *timers_; }

 private:
  const Clock& clock_;
  std::unique_ptr<TimerList> timers_;
  std::unique_ptr<MessageCore> core_;
  std::string title_;
  Form* mainForm_ = nullptr;
  bool terminated_ = false;
};

}  // namespace nuv::forms
