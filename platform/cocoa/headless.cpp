#include "platform/cocoa/Headless.h"

#include <poll.h>

#include <algorithm>
#include <limits>

#include "platform/cocoa/Nib.h"

namespace nuv::cocoa {

HeadlessRunLoop::HeadlessRunLoop(Clock::time_point start) : clock_(start) {}
HeadlessRunLoop::~HeadlessRunLoop() = default;

Clock::time_point HeadlessRunLoop::now() const {
  return clock_.now();
}

void HeadlessRunLoop::beginModal() {
  ++modalDepth_;
}
void HeadlessRunLoop::endModal() {
  if (modalDepth_ > 0) --modalDepth_;
}

bool HeadlessRunLoop::deliverOne() {
  if (modalDepth_ > 0) return false;
  return tasks().deliverOne(now());
}

std::size_t HeadlessRunLoop::runUntilIdle() {
  std::size_t delivered = 0;
  while (deliverOne()) ++delivered;
  return delivered;
}

std::optional<Clock::time_point> HeadlessRunLoop::nextTimerAt() const {
  return tasks().nextTimerAt();
}

void HeadlessRunLoop::moveClockTo(Clock::time_point t) {
  if (t <= now()) return;
  clock_.advance(t - now());  // tells the clock-moved hook
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
  return tasks().waitForSignal(timeout);
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
