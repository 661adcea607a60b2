#include <algorithm>

#include "Forms.h"

namespace forms {

HeadlessGui::HeadlessGui() : guiThread_(std::this_thread::get_id()) {}

HeadlessGui::~HeadlessGui() {
  shutDown();
}

void HeadlessGui::shutDown() {
  std::lock_guard lock(mutex_);
  shuttingDown_ = true;
  for (SyncCall* call = syncHead_; call != nullptr; call = call->next) call->refused = true;
  syncHead_ = syncTail_ = nullptr;
  handled_.notify_all();
}

bool HeadlessGui::synchronize(void (*fn)(void*), void* context) {
  if (onGuiThread()) {  // waiting for ourselves would never end
    fn(context);
    return true;
  }
  SyncCall call{fn, context};
  std::unique_lock lock(mutex_);
  if (shuttingDown_) return false;
  if (syncTail_ != nullptr) {
    syncTail_->next = &call;
  } else {
    syncHead_ = &call;
  }
  syncTail_ = &call;
  wake_.notify_all();
  handled_.wait(lock, [&] { return call.done || call.refused; });
  return call.done;
}

bool HeadlessGui::pendingLocked() const {
  return syncHead_ != nullptr || !posted_.empty();
}

void HeadlessGui::processMessages() {
  // Only what is pending on entry is handled: a reader that delivers again at once is seen by
  // the next round, so one round always ends.
  std::unique_lock lock(mutex_);
  std::size_t messages = posted_.size();
  SyncCall* last = syncTail_;
  while (messages > 0) {
    const WindowMessage message = posted_.front();
    posted_.pop_front();
    --messages;
    lock.unlock();
    for (std::size_t i = 0; i < hooks_.size(); ++i) {
      if (hooks_[i]->onMainWindowMessage(message)) break;
    }
    lock.lock();
  }
  while (last != nullptr && syncHead_ != nullptr) {
    SyncCall* call = syncHead_;
    syncHead_ = call->next;
    if (syncHead_ == nullptr) syncTail_ = nullptr;
    lock.unlock();
    call->fn(call->context);
    lock.lock();
    call->done = true;
    handled_.notify_all();
    if (call == last) break;
  }
}

void HeadlessGui::waitForMessages(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  wake_.wait_for(lock, timeout, [&] { return pendingLocked(); });
}

void HeadlessGui::postMainWindowMessage(const WindowMessage& message) {
  std::lock_guard lock(mutex_);
  posted_.push_back(message);
  wake_.notify_all();
}

void HeadlessGui::hookMainWindow(MainWindowHook& hook) {
  if (std::find(hooks_.begin(), hooks_.end(), &hook) == hooks_.end()) hooks_.push_back(&hook);
}

void HeadlessGui::unhookMainWindow(MainWindowHook& hook) {
  hooks_.erase(std::remove(hooks_.begin(), hooks_.end(), &hook), hooks_.end());
}

bool HeadlessGui::onGuiThread() const {
  return std::this_thread::get_id() == guiThread_;
}

}  // namespace forms
