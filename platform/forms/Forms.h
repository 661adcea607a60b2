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
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/forms/Controls.h"
#include "protocol/Clock.h"

namespace nuv::forms {

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
  // GUI thread: runs the synchronize calls that are waiting, and nothing else (no clicks, ticks
  // or posted messages): what a thread's WaitFor on the GUI thread needs so that a reader blocked
  // in a hand-over can finish, without running handlers in the middle of the caller's work.
  virtual void checkSynchronize() { processMessages(); }
};

// The clock of the timers is nuv::Clock (Clock.h): real time, or a nuv::ManualClock that a test
// moves and whose listener wakes the application, so that timers that fell due are handled.
using nuv::Clock;
using nuv::realClock;

// The application object of the class library plus what a window needs of its backend.
// GUI thread unless said otherwise.
class Application : public GuiThread {
 public:
  // The task-bar text; the title of plain message boxes.
  virtual void setTitle(std::string title) = 0;
  [[nodiscard]] virtual const std::string& title() const = 0;

  [[nodiscard]] virtual const nuv::Clock& clock() const = 0;
  // Timers register themselves; ticks are handled when the GUI thread processes messages.
  virtual void addTimer(Timer& timer) = 0;
  virtual void removeTimer(Timer& timer) = 0;

  // Modal; returns when the user closed the dialog or box. A plain box is titled with the
  // application title and has no icon; an error box is titled "Error" with the error icon.
  // Both have one "OK" button. The main form is activated again after a box, as when the
  // focus comes back to it; not after the open dialog.
  // runOpenDialog: true with the chosen file in dialog.fileName; false when the user cancelled,
  // and dialog.fileName is then left as it was.
  [[nodiscard]] virtual bool runOpenDialog(OpenDialog& dialog) = 0;
  virtual void messageBox(BoxKind kind, std::string_view text) = 0;

  // The form whose closing ends the message loop. Not owned.
  virtual void setMainForm(Form& form) = 0;
  // Shows the main form (activating it) and runs the message loop until it closed.
  virtual void run() = 0;
  // Ends the message loop: run() returns once the handler running now has returned.
  virtual void terminate() = 0;
  [[nodiscard]] virtual bool terminated() const = 0;

  // Full path of the program file (empty when it cannot be had).
  [[nodiscard]] virtual std::string exePath() const = 0;
  // A colour as 0x00RRGGBB, system colours resolved.
  [[nodiscard]] virtual std::uint32_t resolveColor(Color color) const = 0;
  // The font of the window's controls.
  [[nodiscard]] virtual const TextPainter& controlFont() const = 0;
};

}  // namespace nuv::forms
