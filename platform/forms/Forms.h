// The GUI toolkit seam of the Windows updater: what the window and the HID layer need of the
// class library (application object, message processing, timers, controls, dialogs, message
// boxes, and running a call on the GUI thread from another thread).
//
// Threads: everything here belongs to the GUI thread unless a call says otherwise.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace forms {

struct WindowMessage {
  std::uint32_t message;
  std::uintptr_t wParam;
  std::intptr_t lParam;
};
inline constexpr std::uint32_t kWmDeviceChange = 0x0219;       // WM_DEVICECHANGE
inline constexpr std::uintptr_t kDbtDevNodesChanged = 0x0007;  // DBT_DEVNODES_CHANGED

// Sees every message of the main window before the window does. Returns true when handled.
class MainWindowHook {
 public:
  virtual ~MainWindowHook() = default;
  virtual bool onMainWindowMessage(const WindowMessage& message) = 0;
};

// The services of the GUI thread that the HID layer needs.
class GuiThread {
 public:
  virtual ~GuiThread() = default;
  // From a thread other than the GUI thread: runs fn(context) on the GUI thread the next time it
  // processes messages, and returns after it ran (the class library's Synchronize). Returns
  // false, without running fn, once the GUI side is shutting down. Allocates nothing (called per
  // report).
  [[nodiscard]] virtual bool synchronize(void (*fn)(void*), void* context) = 0;
  // GUI thread: handles every pending message and synchronize call, then returns.
  virtual void processMessages() = 0;
  // GUI thread: blocks until a message or synchronize call is pending, or `timeout` passed.
  // No spinning.
  virtual void waitForMessages(std::chrono::milliseconds timeout) = 0;
  // Any thread: queues a message for the main window; the hooks see it when the GUI thread
  // processes messages.
  virtual void postMainWindowMessage(const WindowMessage& message) = 0;
  // GUI thread: adds or removes a hook of the main window's messages (the application's
  // HookMainWindow).
  virtual void hookMainWindow(MainWindowHook& hook) = 0;
  virtual void unhookMainWindow(MainWindowHook& hook) = 0;
  [[nodiscard]] virtual bool onGuiThread() const = 0;
};

// The headless backend (headless.cpp): no window, no display. The thread that constructs a
// HeadlessGui is its GUI thread.
class HeadlessGui : public GuiThread {
 public:
  HeadlessGui();
  // Shuts down: synchronize calls waiting or arriving later return false without running.
  ~HeadlessGui() override;
  HeadlessGui(const HeadlessGui&) = delete;
  HeadlessGui& operator=(const HeadlessGui&) = delete;

  [[nodiscard]] bool synchronize(void (*fn)(void*), void* context) override;
  void processMessages() override;
  void waitForMessages(std::chrono::milliseconds timeout) override;
  void postMainWindowMessage(const WindowMessage& message) override;
  void hookMainWindow(MainWindowHook& hook) override;
  void unhookMainWindow(MainWindowHook& hook) override;
  [[nodiscard]] bool onGuiThread() const override;

  // Any thread: from now on synchronize returns false; callers blocked in it are released.
  void shutDown();

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

  const std::thread::id guiThread_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;     // the GUI thread waits here
  std::condition_variable handled_;  // synchronize callers wait here
  SyncCall* syncHead_ = nullptr;
  SyncCall* syncTail_ = nullptr;
  std::deque<WindowMessage> posted_;
  bool shuttingDown_ = false;
  std::vector<MainWindowHook*> hooks_;
};

}  // namespace forms
