#include "platform/cocoa/Terminal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/cocoa/Nib.h"

namespace nuv::cocoa {

// ---- run loop -----------------------------------------------------------------------------

TerminalRunLoop::TerminalRunLoop() : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TerminalRunLoop::~TerminalRunLoop() {
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void TerminalRunLoop::sourceSignalled() {
  const std::uint64_t one = 1;
  if (wakeFd_ >= 0) (void)!::write(wakeFd_, &one, sizeof one);
}

bool TerminalRunLoop::deliverOne() {
  if (modalDepth_ > 0) return false;
  return tasks().deliverOne(now());
}

std::size_t TerminalRunLoop::runUntilIdle() {
  std::size_t delivered = 0;
  while (deliverOne()) ++delivered;
  return delivered;
}

void TerminalRunLoop::drainWake() {
  std::uint64_t count = 0;
  while (wakeFd_ >= 0 && ::read(wakeFd_, &count, sizeof count) > 0) {
  }
}

void TerminalRunLoop::waitForWork() {
  // The fd set is rebuilt per wait: watches come and go with devices, and a wait happens
  // only when there is nothing to do, never per report at full speed.
  std::vector<pollfd> fds;
  fds.push_back({wakeFd_, POLLIN, 0});
  tasks().forEachWatchedFd([&fds](int fd) { fds.push_back({fd, POLLIN, 0}); });
  int timeoutMs = -1;
  const std::optional<Clock::time_point> next = tasks().nextTimerAt();
  if (next) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - now()).count();
    timeoutMs = left < 0 ? 0 : static_cast<int>(std::min<long long>(left, 60'000));
  }
  if (tasks().anySignalled()) timeoutMs = 0;
  if (::poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) return;
  drainWake();
}

void TerminalRunLoop::runUntil(const std::function<bool()>& done,
                               const std::function<void()>& beforeWait) {
  for (;;) {
    while (deliverOne())
      if (done()) return;
    if (done()) return;
    if (beforeWait) beforeWait();
    waitForWork();
  }
}

// ---- controls -----------------------------------------------------------------------------

class TerminalApplication::StatusField final : public HeadlessView, public TextField {
 public:
  explicit StatusField(TerminalApplication* app) : app_(app) {}
  void setStringValue(std::string_view text) override {
    text_.assign(text);
    if (app_ != nullptr) app_->statusSet(text_);
  }
  [[nodiscard]] std::string stringValue() const override { return text_; }
  void setDrawsBackground(bool) override {}
  void setAlignment(TextAlignment) override {}

 private:
  TerminalApplication* app_;  // null: a field that shows nothing on the terminal
  std::string text_;
};

class TerminalApplication::Bar final : public HeadlessView, public ProgressIndicator {
 public:
  explicit Bar(TerminalApplication& app) : app_(app) {}
  void setHidden(bool hidden) override {
    const bool was = isHidden();
    HeadlessView::setHidden(hidden);
    // What the status line said before the bar came up, or says as it goes away, is a line
    // of its own.
    if (was != hidden) app_.flushStatus();
  }
  void setMinValue(double v) override { min_ = v; }
  void setMaxValue(double v) override { max_ = v; }
  void setDoubleValue(double v) override {
    value_ = v;
    if (!isHidden()) app_.progressMoved(value_, min_, max_);
  }
  [[nodiscard]] double minValue() const override { return min_; }
  [[nodiscard]] double maxValue() const override { return max_; }
  [[nodiscard]] double doubleValue() const override { return value_; }
  void startAnimation() override { animating_ = true; }
  void stopAnimation() override { animating_ = false; }
  [[nodiscard]] bool isAnimating() const override { return animating_; }

 private:
  TerminalApplication& app_;
  double min_ = 0, max_ = 100, value_ = 0;
  bool animating_ = false;
};

struct TerminalApplication::Nib {
  explicit Nib(TerminalApplication& app)
      : statusTextField(&app),
        progressIndicator(app),
        downloadButton(std::string(nib::kDownloadTitle)),
        stopButton(std::string(nib::kStopTitle)),
        versionButton(std::string(nib::kVersionTitle)) {
    for (View* v : std::initializer_list<View*>{&statusTextField, &progressIndicator,
                                                &downloadButton, &stopButton, &versionButton})
      view.addSubview(*v);
  }
  HeadlessView view;
  StatusField statusTextField;
  Bar progressIndicator;
  HeadlessButton downloadButton;
  HeadlessButton stopButton;
  HeadlessButton versionButton;
};

// ---- application --------------------------------------------------------------------------

TerminalApplication::TerminalApplication(TerminalSink& sink, std::string imagePath)
    : sink_(sink), imagePath_(std::move(imagePath)) {
  interruptSource_ = loop_.addSource([this] {
    if (onInterrupt) onInterrupt();
  });
}

TerminalApplication::~TerminalApplication() = default;

std::optional<ViewOutlets> TerminalApplication::loadNib(std::string_view nibName) {
  if (nibName != nib::kHIDViewControllerNib) return std::nullopt;
  if (!nib_) nib_ = std::make_unique<Nib>(*this);
  return ViewOutlets{&nib_->view,           &nib_->statusTextField, &nib_->progressIndicator,
                     &nib_->downloadButton, &nib_->stopButton,      &nib_->versionButton};
}

std::unique_ptr<TextField> TerminalApplication::makeTextField(Rect frame) {
  // The percentage label: the progress line shows the percentage already.
  auto field = std::make_unique<StatusField>(nullptr);
  field->setFrame(frame);
  return field;
}

int TerminalApplication::runModalAlert(const Alert& alert) {
  ++alerts_;
  flushStatus();
  ModalSession session(loop_);
  sink_.alert(alert);
  return kAlertFirstButtonReturn;
}

OpenPanelResult TerminalApplication::runModalOpenPanel() {
  ModalSession session(loop_);
  if (imagePath_.empty()) return {};
  return OpenPanelResult{kModalResponseOK, {imagePath_}};
}

HeadlessButton* TerminalApplication::button(std::string_view title) {
  if (!nib_) return nullptr;
  for (HeadlessButton* b : {&nib_->downloadButton, &nib_->stopButton, &nib_->versionButton})
    if (b->title() == title) return b;
  return nullptr;
}

void TerminalApplication::interrupt() {
  loop_.signalSource(interruptSource_);
}

void TerminalApplication::statusSet(std::string_view text) {
  flushStatus();
  heldStatus_.assign(text);
  statusHeld_ = true;
}

void TerminalApplication::flushStatus() {
  if (!statusHeld_) return;
  statusHeld_ = false;
  if (heldStatus_ == lastStatus_) return;  // "Ready" set again by the device match is not news
  lastStatus_.swap(heldStatus_);
  sink_.status(lastStatus_);
}

void TerminalApplication::progressMoved(double value, double minimum, double maximum) {
  // The write step sets "Writing address: ..." and then moves the bar: such a text is the
  // bar's caption, 16,384 of them in a download, not a line each.
  if (statusHeld_) {
    statusHeld_ = false;
    sink_.caption(heldStatus_);
    lastStatus_.swap(heldStatus_);
  }
  sink_.progress(value, minimum, maximum);
}

}  // namespace nuv::cocoa
