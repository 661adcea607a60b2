// What the macOS program uses of Cocoa: a run loop with delayed calls and device event
// sources, the controls of its one view, a modal alert, a modal open panel and the main
// window. Backends: headless (virtual clock, scripted alert and panel; Headless.h), Qt 6
// Widgets (Qt.h) and AppKit itself (macOS, and GNUstep on Linux; AppKit.h, appkit.mm).
//
// Threads: everything here belongs to the thread that runs the loop (the main thread), with
// one exception, RunLoop::signalSource, which any thread may call.
//
// Modal sessions: while an alert or an open panel is up, the loop delivers nothing (no
// delayed call, no source, no timer, no readable descriptor), as AppKit delivers nothing of the
// default mode inside a modal session; what came due meanwhile is delivered after it closes,
// in order.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Clock.h"

namespace nuv::cocoa {

// Time here is nuv::Clock's (Clock.h): a loop's now() is real time or the headless loop's
// ManualClock.
using Task = std::function<void()>;

class RunLoop {
 public:
  using SourceId = int;
  using TimerId = int;
  using WatchId = int;

  virtual ~RunLoop() = default;

  // The loop's notion of now: real time, or the virtual clock of the headless loop.
  [[nodiscard]] virtual Clock::time_point now() const = 0;

  // Runs `task` once, `delay` from now. Delayed calls cannot be cancelled.
  virtual void performAfterDelay(std::chrono::nanoseconds delay, Task task) = 0;

  // An event source: `perform` runs on the loop after a signal. Signals that arrive before
  // it runs coalesce into one run. Adding and removing may allocate; signalling does not.
  [[nodiscard]] virtual SourceId addSource(Task perform) = 0;
  virtual void signalSource(SourceId id) = 0;  // any thread
  virtual void removeSource(SourceId id) = 0;

  // A timer that can be armed again and again without allocating. Arming an armed timer
  // moves it; it fires once per arming.
  [[nodiscard]] virtual TimerId addTimer(Task fire) = 0;
  virtual void armTimer(TimerId id, Clock::time_point at) = 0;
  virtual void disarmTimer(TimerId id) = 0;
  virtual void removeTimer(TimerId id) = 0;

  // Calls `onReadable` on the loop whenever `fd` is readable (or has hung up or failed),
  // until unwatched. The caller keeps the descriptor open for as long as it is watched.
  [[nodiscard]] virtual WatchId watchReadable(int fd, Task onReadable) = 0;
  virtual void unwatch(WatchId id) = 0;

  // Modal sessions nest. Called by the alert and the open panel of the backends.
  virtual void beginModal() = 0;
  virtual void endModal() = 0;
};

struct Rect {
  double x = 0, y = 0, width = 0, height = 0;
  bool operator==(const Rect&) const = default;
};

class View {
 public:
  virtual ~View() = default;
  virtual void setHidden(bool hidden) = 0;
  [[nodiscard]] virtual bool isHidden() const = 0;
  [[nodiscard]] virtual Rect frame() const = 0;
  virtual void setFrame(Rect frame) = 0;
  // The child is drawn inside this view, at its frame relative to this view's origin, and is
  // hidden with it. Ownership does not move.
  virtual void addSubview(View& child) = 0;
};

enum class TextAlignment { Natural, Center };

class TextField : public virtual View {
 public:
  virtual void setStringValue(std::string_view text) = 0;
  [[nodiscard]] virtual std::string stringValue() const = 0;
  virtual void setDrawsBackground(bool draws) = 0;  // false: a clear background
  virtual void setAlignment(TextAlignment alignment) = 0;
};

class Button : public virtual View {
 public:
  virtual void setEnabled(bool enabled) = 0;
  [[nodiscard]] virtual bool isEnabled() const = 0;
  // What a click sends; the view's interface file wires it. Clicks on a disabled button send
  // nothing.
  virtual void setAction(Task action) = 0;
  [[nodiscard]] virtual std::string title() const = 0;
};

class ProgressIndicator : public virtual View {
 public:
  virtual void setMinValue(double value) = 0;
  virtual void setMaxValue(double value) = 0;
  virtual void setDoubleValue(double value) = 0;
  [[nodiscard]] virtual double minValue() const = 0;
  [[nodiscard]] virtual double maxValue() const = 0;
  [[nodiscard]] virtual double doubleValue() const = 0;
  virtual void startAnimation() = 0;
  virtual void stopAnimation() = 0;
  [[nodiscard]] virtual bool isAnimating() const = 0;
};

class Window {
 public:
  virtual ~Window() = default;
  virtual void setContentView(View& view) = 0;
  virtual void setTitle(std::string_view title) = 0;
  [[nodiscard]] virtual std::string title() const = 0;
};

// The view of an interface file and its outlets, owned by the application (the window keeps
// them alive for the whole run).
struct ViewOutlets {
  View* view = nullptr;
  TextField* statusTextField = nullptr;
  ProgressIndicator* progressIndicator = nullptr;
  Button* downloadButton = nullptr;
  Button* stopButton = nullptr;
  Button* versionButton = nullptr;
};

struct Alert {
  std::string messageText;
  std::string informativeText;
  std::vector<std::string> buttons;  // the first is the default button
};
inline constexpr int kAlertFirstButtonReturn = 1000;

inline constexpr int kModalResponseCancel = 0;
inline constexpr int kModalResponseOK = 1;
struct OpenPanelResult {
  int response = kModalResponseCancel;
  std::vector<std::string> paths;  // the chosen files; one at most (single selection)
};

class Application {
 public:
  virtual ~Application() = default;
  [[nodiscard]] virtual RunLoop& runLoop() = 0;
  [[nodiscard]] virtual Window& mainWindow() = 0;
  // Loads the view named `nibName`; nothing when there is no such interface file.
  [[nodiscard]] virtual std::optional<ViewOutlets> loadNib(std::string_view nibName) = 0;
  [[nodiscard]] virtual std::unique_ptr<TextField> makeTextField(Rect frame) = 0;
  // Modal: returns when the user closed the alert, with kAlertFirstButtonReturn + the index of
  // the button pressed.
  virtual int runModalAlert(const Alert& alert) = 0;
  // Modal: no file-type restriction, single selection. kModalResponseOK with one path, or
  // kModalResponseCancel with none when the user cancelled.
  [[nodiscard]] virtual OpenPanelResult runModalOpenPanel() = 0;
};

// Opens a modal session on `loop` for the lifetime of the object.
class ModalSession {
 public:
  explicit ModalSession(RunLoop& loop) : loop_(loop) { loop_.beginModal(); }
  ~ModalSession() { loop_.endModal(); }
  ModalSession(const ModalSession&) = delete;
  ModalSession& operator=(const ModalSession&) = delete;

 private:
  RunLoop& loop_;
};

}  // namespace nuv::cocoa
