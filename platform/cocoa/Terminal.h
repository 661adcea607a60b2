// The terminal backend of the Cocoa seam: a run loop on real time that waits in poll(2), and
// controls that send what the view would show to a terminal front end (the status line, the
// progress bar, alerts); the open panel is answered with the file named on the command line.
//
// Threads: everything belongs to the thread that runs the loop, except signalSource and
// TerminalApplication::interrupt, which any thread may call.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/cocoa/Cocoa.h"
#include "platform/cocoa/Headless.h"
#include "platform/cocoa/LoopTasks.h"

namespace nuv::cocoa {

class TerminalRunLoop final : public TaskRunLoop {
 public:
  TerminalRunLoop();
  ~TerminalRunLoop() override;
  TerminalRunLoop(const TerminalRunLoop&) = delete;
  TerminalRunLoop& operator=(const TerminalRunLoop&) = delete;

  [[nodiscard]] Clock::time_point now() const override { return realClock().now(); }
  void beginModal() override { ++modalDepth_; }
  void endModal() override {
    if (modalDepth_ > 0) --modalDepth_;
  }

  // Delivers what is due and waits (without spinning) for more, until `done` holds after a
  // delivery. `beforeWait` runs each time the loop is about to block.
  void runUntil(const std::function<bool()>& done, const std::function<void()>& beforeWait = {});
  // Delivers what is due now, without waiting. Returns the number of deliveries.
  std::size_t runUntilIdle();

 private:
  // Any thread: wakes the loop blocked in poll.
  void sourceSignalled() override;
  bool deliverOne();
  void waitForWork();
  void drainWake();

  int wakeFd_ = -1;  // an eventfd: signalSource writes it, the waiting loop polls it
  int modalDepth_ = 0;
};

// Where the terminal backend sends what the view would show. Called on the loop's thread.
class TerminalSink {
 public:
  virtual ~TerminalSink() = default;
  virtual void status(std::string_view text) = 0;
  // A status text that the progress bar's next step followed at once: the step's caption,
  // for a verbose listing only.
  virtual void caption(std::string_view text) = 0;
  // The progress bar, while it is shown.
  virtual void progress(double value, double minimum, double maximum) = 0;
  virtual void alert(const Alert& alert) = 0;
};

class TerminalApplication final : public Application {
 public:
  // The open panel is answered with `imagePath` (empty: cancelled). The sink must outlive the
  // application.
  TerminalApplication(TerminalSink& sink, std::string imagePath);
  ~TerminalApplication() override;

  [[nodiscard]] TerminalRunLoop& runLoop() override { return loop_; }
  [[nodiscard]] HeadlessWindow& mainWindow() override { return window_; }
  [[nodiscard]] std::optional<ViewOutlets> loadNib(std::string_view nibName) override;
  [[nodiscard]] std::unique_ptr<TextField> makeTextField(Rect frame) override;
  // Tells the sink and answers with the first button: nobody is there to choose.
  int runModalAlert(const Alert& alert) override;
  [[nodiscard]] OpenPanelResult runModalOpenPanel() override;

  // The view's buttons (after loadNib), for the front end's clicks.
  [[nodiscard]] HeadlessButton* button(std::string_view title);
  // Any thread: runs onInterrupt on the loop's thread, as a click would arrive.
  void interrupt();
  std::function<void()> onInterrupt;
  // A status text that is still held back (see TerminalSink::caption) goes to the sink now.
  void flushStatus();
  [[nodiscard]] int alertCount() const { return alerts_; }

 private:
  class StatusField;
  class Bar;
  struct Nib;
  friend class StatusField;
  friend class Bar;
  void statusSet(std::string_view text);
  void progressMoved(double value, double minimum, double maximum);

  TerminalSink& sink_;
  std::string imagePath_;
  TerminalRunLoop loop_;
  HeadlessWindow window_;
  std::unique_ptr<Nib> nib_;
  RunLoop::SourceId interruptSource_ = 0;
  std::string heldStatus_;
  bool statusHeld_ = false;
  std::string lastStatus_;
  int alerts_ = 0;
};

}  // namespace nuv::cocoa
