#include "platform/forms/QueuedApplication.h"

#include <algorithm>

#include "platform/forms/MessageCore.h"

namespace nuv::forms {

QueuedApplication::QueuedApplication(const Clock& clock, std::function<void()> wake)
    : clock_(clock),
      timers_(std::make_unique<TimerList>()),
      core_(std::make_unique<MessageCore>(std::move(wake))) {}

QueuedApplication::~QueuedApplication() {
  shutDown();
}

void QueuedApplication::shutDown() {
  core_->shutDown();
}

bool QueuedApplication::synchronize(void (*fn)(void*), void* context) {
  if (onGuiThread()) {  // waiting for ourselves would never end
    fn(context);
    return true;
  }
  return core_->synchronize(fn, context);
}

void QueuedApplication::processMessages() {
  processWindowMessages();
  core_->dispatch(*timers_, clock_.now());
}

void QueuedApplication::checkSynchronize() {
  core_->dispatchSynchronized();
}

void QueuedApplication::postMainWindowMessage(const WindowMessage& message) {
  core_->post(message);
}
void QueuedApplication::hookMainWindow(MainWindowHook& hook) {
  core_->hook(hook);
}
void QueuedApplication::unhookMainWindow(MainWindowHook& hook) {
  core_->unhook(hook);
}

void QueuedApplication::addTimer(Timer& timer) {
  timers_->add(timer);
}
void QueuedApplication::removeTimer(Timer& timer) {
  timers_->remove(timer);
}

void QueuedApplication::activateMainForm() {
  if (mainForm_ != nullptr && mainForm_->onActivate) mainForm_->onActivate();
}

void QueuedApplication::runMessageLoop(std::chrono::milliseconds idleWait) {
  while (!terminated_) {
    processMessages();
    if (terminated_) break;
    waitForMessages(idleWait);
  }
}

std::optional<std::chrono::milliseconds> QueuedApplication::timeToWait(
    std::chrono::milliseconds timeout) const {
  if (core_->pending()) return std::nullopt;
  auto limit = timeout;
  if (const auto due = timers_->nextDue()) {
    const auto now = clock_.now();
    if (*due <= now) return std::nullopt;
    limit = std::min(limit, std::chrono::ceil<std::chrono::milliseconds>(*due - now));
  }
  return limit;
}

}  // namespace nuv::forms
