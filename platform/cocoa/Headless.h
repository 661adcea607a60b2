// The headless backend of the Cocoa seam: a run loop on a virtual clock that the caller moves,
// controls that only keep their state, and an alert and an open panel answered by scripts.
// Used by tests, benchmarks and fuzzers; nothing here draws or waits for real time, except
// waitForSignal, which waits for another thread to signal a source.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/cocoa/Cocoa.h"
#include "platform/cocoa/LoopTasks.h"

namespace nuv::cocoa {

class HeadlessRunLoop final : public TaskRunLoop {
 public:
  // The virtual clock starts at `start` and moves only by advance().
  explicit HeadlessRunLoop(Clock::time_point start = Clock::time_point{} + std::chrono::hours(1));
  ~HeadlessRunLoop() override;

  // The virtual clock itself, for whatever must read the loop's time from any thread (an
  // emulated device bus, say).
  [[nodiscard]] const Clock& clock() const { return clock_; }

  [[nodiscard]] Clock::time_point now() const override;
  void beginModal() override;
  void endModal() override;

  [[nodiscard]] bool inModalSession() const { return modalDepth_ > 0; }

  // Delivers everything that is due now (signalled sources, readable descriptors, timers and
  // delayed calls whose time has come), again and again until nothing is. Delivers nothing
  // inside a modal session. Returns the number of deliveries.
  std::size_t runUntilIdle();
  // Moves the clock on by `duration`, stopping at each timer's time on the way to deliver it.
  void advance(std::chrono::nanoseconds duration);
  // Like advance, but stops as soon as `done` holds after a delivery; false if it never did
  // within `limit` of virtual time.
  bool advanceUntil(const std::function<bool()>& done, std::chrono::nanoseconds limit);
  // Blocks (real time) until another thread signals a source, at most `timeout`. True if one
  // is signalled.
  bool waitForSignal(std::chrono::milliseconds timeout);
  // The earliest armed timer or delayed call, if any.
  [[nodiscard]] std::optional<Clock::time_point> nextTimerAt() const;
  // Called after every move of the clock, e.g. to tell a virtual device bus.
  void setClockMovedHook(Task hook) { clock_.setListener(std::move(hook)); }

 private:
  bool deliverOne();
  void moveClockTo(Clock::time_point t);

  ManualClock clock_;
  int modalDepth_ = 0;
};

class HeadlessView : public virtual View {
 public:
  void setHidden(bool hidden) override { hidden_ = hidden; }
  [[nodiscard]] bool isHidden() const override { return hidden_; }
  [[nodiscard]] Rect frame() const override { return frame_; }
  void setFrame(Rect frame) override { frame_ = frame; }
  void addSubview(View& child) override;
  // Hidden, or inside a hidden view.
  [[nodiscard]] bool isHiddenOrHasHiddenAncestor() const;
  [[nodiscard]] const HeadlessView* superview() const { return superview_; }

 private:
  bool hidden_ = false;
  Rect frame_;
  HeadlessView* superview_ = nullptr;
};

class HeadlessTextField final : public HeadlessView, public TextField {
 public:
  void setStringValue(std::string_view text) override;
  [[nodiscard]] std::string stringValue() const override { return text_; }
  void setDrawsBackground(bool draws) override { drawsBackground_ = draws; }
  void setAlignment(TextAlignment alignment) override { alignment_ = alignment; }
  [[nodiscard]] bool drawsBackground() const { return drawsBackground_; }
  [[nodiscard]] TextAlignment alignment() const { return alignment_; }
  // Every text the field has shown, when recording is on (off by default).
  void recordHistory(bool on) { recording_ = on; }
  [[nodiscard]] const std::vector<std::string>& history() const { return history_; }

 private:
  std::string text_;
  bool drawsBackground_ = true;
  TextAlignment alignment_ = TextAlignment::Natural;
  bool recording_ = false;
  std::vector<std::string> history_;
};

class HeadlessButton final : public HeadlessView, public Button {
 public:
  explicit HeadlessButton(std::string title) : title_(std::move(title)) {}
  void setEnabled(bool enabled) override { enabled_ = enabled; }
  [[nodiscard]] bool isEnabled() const override { return enabled_; }
  void setAction(Task action) override { action_ = std::move(action); }
  [[nodiscard]] std::string title() const override { return title_; }
  // A user's click: sends the action when the button is enabled and shown. True if sent.
  bool click();

 private:
  std::string title_;
  bool enabled_ = true;
  Task action_;
};

class HeadlessProgressIndicator final : public HeadlessView, public ProgressIndicator {
 public:
  void setMinValue(double value) override { min_ = value; }
  void setMaxValue(double value) override { max_ = value; }
  void setDoubleValue(double value) override { value_ = value; }
  [[nodiscard]] double minValue() const override { return min_; }
  [[nodiscard]] double maxValue() const override { return max_; }
  [[nodiscard]] double doubleValue() const override { return value_; }
  void startAnimation() override { animating_ = true; }
  void stopAnimation() override { animating_ = false; }
  [[nodiscard]] bool isAnimating() const override { return animating_; }

 private:
  double min_ = 0, max_ = 100, value_ = 0;
  bool animating_ = false;
};

class HeadlessWindow final : public Window {
 public:
  void setContentView(View& view) override { content_ = &view; }
  void setTitle(std::string_view title) override { title_.assign(title); }
  [[nodiscard]] std::string title() const override { return title_; }
  [[nodiscard]] View* contentView() const { return content_; }

 private:
  View* content_ = nullptr;
  std::string title_;
};

// The controls of the "HIDViewController" interface file, as the headless backend builds it.
struct HeadlessNib {
  HeadlessView view;
  HeadlessTextField statusTextField;
  HeadlessProgressIndicator progressIndicator;
  HeadlessButton downloadButton;
  HeadlessButton stopButton;
  HeadlessButton versionButton;
  HeadlessNib();
};

class HeadlessApplication final : public Application {
 public:
  using AlertResponder = std::function<int(const Alert&)>;
  using OpenPanelResponder = std::function<OpenPanelResult()>;

  HeadlessApplication();
  ~HeadlessApplication() override;

  [[nodiscard]] HeadlessRunLoop& runLoop() override { return loop_; }
  [[nodiscard]] HeadlessWindow& mainWindow() override { return window_; }
  [[nodiscard]] std::optional<ViewOutlets> loadNib(std::string_view nibName) override;
  [[nodiscard]] std::unique_ptr<TextField> makeTextField(Rect frame) override;
  int runModalAlert(const Alert& alert) override;
  [[nodiscard]] OpenPanelResult runModalOpenPanel() override;

  // The responders run inside the modal session. Default: the alert's first button; the
  // panel cancelled.
  void setAlertResponder(AlertResponder responder) { alertResponder_ = std::move(responder); }
  void setOpenPanelResponder(OpenPanelResponder r) { panelResponder_ = std::move(r); }
  // Every alert shown so far, in order.
  [[nodiscard]] const std::vector<Alert>& alerts() const { return alerts_; }
  [[nodiscard]] int openPanelCount() const { return panels_; }
  // The loaded interface file, or null before loadNib.
  [[nodiscard]] HeadlessNib* nib() { return nib_.get(); }
  // The most recent text field made by makeTextField (owned by whoever asked for it).
  [[nodiscard]] HeadlessTextField* lastTextField() const { return lastTextField_; }

 private:
  HeadlessRunLoop loop_;
  HeadlessWindow window_;
  std::unique_ptr<HeadlessNib> nib_;
  HeadlessTextField* lastTextField_ = nullptr;
  AlertResponder alertResponder_;
  OpenPanelResponder panelResponder_;
  std::vector<Alert> alerts_;
  int panels_ = 0;
};

}  // namespace nuv::cocoa
