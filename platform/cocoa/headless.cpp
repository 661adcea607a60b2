#include "Headless.h"

#include <poll.h>

#include <algorithm>
#include <limits>

#include "Nib.h"

namespace nuv::cocoa {

struct HeadlessRunLoop::Source {
  Task perform;
  bool signalled = false;  // guarded by signalMutex_
  bool alive = true;
};

struct HeadlessRunLoop::Timer {
  Task fire;
  std::optional<Clock::time_point> at;
  std::uint64_t order = 0;  // arming order: timers due at the same time fire in it
  bool oneShot = false;     // a delayed call: dropped after it ran
  bool alive = true;
};

struct HeadlessRunLoop::Watch {
  int fd = -1;
  Task onReadable;
  bool alive = true;
};

HeadlessRunLoop::HeadlessRunLoop(Clock::time_point start)
    : now_(start.time_since_epoch().count()) {}
HeadlessRunLoop::~HeadlessRunLoop() = default;

Clock::time_point HeadlessRunLoop::now() const {
  return Clock::time_point(Clock::duration(now_.load(std::memory_order_acquire)));
}

void HeadlessRunLoop::performAfterDelay(std::chrono::nanoseconds delay, Task task) {
  Timer& t = timers_.emplace_back();
  t.fire = std::move(task);
  t.at = now() + std::chrono::duration_cast<Clock::duration>(delay);
  t.order = timerOrder_++;
  t.oneShot = true;
}

RunLoop::SourceId HeadlessRunLoop::addSource(Task perform) {
  std::lock_guard lock(signalMutex_);
  sources_.push_back(Source{std::move(perform)});
  return static_cast<SourceId>(sources_.size());
}

void HeadlessRunLoop::signalSource(SourceId id) {
  {
    std::lock_guard lock(signalMutex_);
    if (id <= 0 || static_cast<std::size_t>(id) > sources_.size()) return;
    sources_[id - 1].signalled = true;
  }
  signalled_.notify_all();
}

void HeadlessRunLoop::removeSource(SourceId id) {
  std::lock_guard lock(signalMutex_);
  if (id <= 0 || static_cast<std::size_t>(id) > sources_.size()) return;
  // The slot stays (ids are indexes); its task goes when it is not running.
  sources_[id - 1].alive = false;
  sources_[id - 1].signalled = false;
}

RunLoop::TimerId HeadlessRunLoop::addTimer(Task fire) {
  Timer& t = timers_.emplace_back();
  t.fire = std::move(fire);
  return static_cast<TimerId>(timers_.size());
}

void HeadlessRunLoop::armTimer(TimerId id, Clock::time_point at) {
  if (id <= 0 || static_cast<std::size_t>(id) > timers_.size()) return;
  Timer& t = timers_[id - 1];
  if (!t.alive) return;
  t.at = at;
  t.order = timerOrder_++;
}

void HeadlessRunLoop::disarmTimer(TimerId id) {
  if (id <= 0 || static_cast<std::size_t>(id) > timers_.size()) return;
  timers_[id - 1].at.reset();
}

void HeadlessRunLoop::removeTimer(TimerId id) {
  if (id <= 0 || static_cast<std::size_t>(id) > timers_.size()) return;
  timers_[id - 1].at.reset();
  timers_[id - 1].alive = false;
}

RunLoop::WatchId HeadlessRunLoop::watchReadable(int fd, Task onReadable) {
  watches_.push_back(Watch{fd, std::move(onReadable)});
  return static_cast<WatchId>(watches_.size());
}

void HeadlessRunLoop::unwatch(WatchId id) {
  if (id <= 0 || static_cast<std::size_t>(id) > watches_.size()) return;
  watches_[id - 1].alive = false;
}

void HeadlessRunLoop::beginModal() {
  ++modalDepth_;
}
void HeadlessRunLoop::endModal() {
  if (modalDepth_ > 0) --modalDepth_;
}

bool HeadlessRunLoop::deliverSource() {
  Source* due = nullptr;
  {
    std::lock_guard lock(signalMutex_);
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

bool HeadlessRunLoop::deliverWatch() {
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

bool HeadlessRunLoop::deliverTimer() {
  Timer* due = nullptr;
  for (Timer& t : timers_) {
    if (!t.alive || !t.at || *t.at > now()) continue;
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

bool HeadlessRunLoop::deliverOne() {
  if (modalDepth_ > 0) return false;
  return deliverSource() || deliverWatch() || deliverTimer();
}

std::size_t HeadlessRunLoop::runUntilIdle() {
  std::size_t delivered = 0;
  while (deliverOne()) ++delivered;
  return delivered;
}

std::optional<Clock::time_point> HeadlessRunLoop::nextTimerAt() const {
  std::optional<Clock::time_point> next;
  for (const Timer& t : timers_)
    if (t.alive && t.at && (!next || *t.at < *next)) next = t.at;
  return next;
}

void HeadlessRunLoop::moveClockTo(Clock::time_point t) {
  if (t <= now()) return;
  now_.store(t.time_since_epoch().count(), std::memory_order_release);
  if (clockMoved_) clockMoved_();
}

void HeadlessRunLoop::advance(std::chrono::nanoseconds duration) {
  (void)advanceUntil([] { return false; }, duration);
}

bool HeadlessRunLoop::advanceUntil(const std::function<bool()>& done,
                                   std::chrono::nanoseconds limit) {
  const Clock::time_point target = now() + std::chrono::duration_cast<Clock::duration>(limit);
  for (;;) {
    while (deliverOne())
      if (done()) return true;
    if (done()) return true;
    const auto next = nextTimerAt();
    // Inside a modal session nothing is delivered, so time just passes.
    if (modalDepth_ > 0 || !next || *next > target) break;
    moveClockTo(*next);
  }
  moveClockTo(target);
  while (deliverOne())
    if (done()) return true;
  return done();
}

bool HeadlessRunLoop::waitForSignal(std::chrono::milliseconds timeout) {
  std::unique_lock lock(signalMutex_);
  return signalled_.wait_for(lock, timeout, [this] {
    return std::any_of(sources_.begin(), sources_.end(),
                       [](const Source& s) { return s.alive && s.signalled; });
  });
}

// ---- controls -----------------------------------------------------------------------------

void HeadlessView::addSubview(View& child) {
  if (auto* headless = dynamic_cast<HeadlessView*>(&child)) headless->superview_ = this;
}

bool HeadlessView::isHiddenOrHasHiddenAncestor() const {
  for (const HeadlessView* v = this; v != nullptr; v = v->superview_)
    if (v->hidden_) return true;
  return false;
}

void HeadlessTextField::setStringValue(std::string_view text) {
  text_.assign(text);
  if (recording_) history_.push_back(text_);
}

bool HeadlessButton::click() {
  if (!enabled_ || isHiddenOrHasHiddenAncestor() || !action_) return false;
  action_();
  return true;
}

HeadlessNib::HeadlessNib()
    : downloadButton(std::string(nib::kDownloadTitle)),
      stopButton(std::string(nib::kStopTitle)),
      versionButton(std::string(nib::kVersionTitle)) {
  view.setFrame(nib::kViewFrame);
  statusTextField.setFrame(nib::kStatusTextFieldFrame);
  statusTextField.setStringValue(nib::kStatusPlaceholder);
  progressIndicator.setFrame(nib::kProgressIndicatorFrame);
  downloadButton.setFrame(nib::kDownloadButtonFrame);
  stopButton.setFrame(nib::kStopButtonFrame);
  versionButton.setFrame(nib::kVersionButtonFrame);
  for (View* v : std::initializer_list<View*>{&statusTextField, &progressIndicator, &downloadButton,
                                              &stopButton, &versionButton})
    view.addSubview(*v);
}

// ---- application --------------------------------------------------------------------------

HeadlessApplication::HeadlessApplication() = default;
HeadlessApplication::~HeadlessApplication() = default;

std::optional<ViewOutlets> HeadlessApplication::loadNib(std::string_view nibName) {
  if (nibName != nib::kHIDViewControllerNib) return std::nullopt;
  if (!nib_) nib_ = std::make_unique<HeadlessNib>();
  return ViewOutlets{&nib_->view,           &nib_->statusTextField, &nib_->progressIndicator,
                     &nib_->downloadButton, &nib_->stopButton,      &nib_->versionButton};
}

std::unique_ptr<TextField> HeadlessApplication::makeTextField(Rect frame) {
  auto field = std::make_unique<HeadlessTextField>();
  field->setFrame(frame);
  lastTextField_ = field.get();
  return field;
}

int HeadlessApplication::runModalAlert(const Alert& alert) {
  alerts_.push_back(alert);
  ModalSession session(loop_);
  return alertResponder_ ? alertResponder_(alert) : kAlertFirstButtonReturn;
}

OpenPanelResult HeadlessApplication::runModalOpenPanel() {
  ++panels_;
  ModalSession session(loop_);
  return panelResponder_ ? panelResponder_() : OpenPanelResult{};
}

}  // namespace nuv::cocoa
