#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <array>
#include <condition_variable>

#include "platform/forms/Headless.h"
#include "platform/forms/MessageCore.h"

namespace nuv::forms {

namespace {
std::string programPath() {
  std::array<char, 4096> buf{};
#if defined(_WIN32)
  const DWORD n = GetModuleFileNameA(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
  return n > 0 && n < buf.size() ? std::string(buf.data(), n) : std::string();
#else
  const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  return n > 0 ? std::string(buf.data(), static_cast<std::size_t>(n)) : std::string();
#endif
}
}  // namespace

// What the GUI thread waits on. Kept apart from the core's lock so that waking never nests.
struct HeadlessWaker {
  std::mutex mutex;
  std::condition_variable cv;
  std::uint64_t wakes = 0;
  void wake() {
    {
      std::lock_guard lock(mutex);
      ++wakes;
    }
    cv.notify_all();
  }
};

HeadlessGui::HeadlessGui() : HeadlessGui(realClock()) {}

HeadlessGui::HeadlessGui(const Clock& clock)
    : HeadlessGui(clock, std::make_unique<HeadlessWaker>()) {}

HeadlessGui::HeadlessGui(const Clock& clock, std::unique_ptr<HeadlessWaker> waker)
    : QueuedApplication(clock, [w = waker.get()] { w->wake(); }),
      waker_(std::move(waker)),
      guiThread_(std::this_thread::get_id()),
      exePath_(programPath()) {}

HeadlessGui::~HeadlessGui() {
  shutDown();
}

void HeadlessGui::waitForMessages(std::chrono::milliseconds timeout) {
  std::unique_lock lock(waker_->mutex);
  const std::uint64_t seen = waker_->wakes;
  if (queue().pending()) return;
  const auto due = timers().nextDue();
  const auto now = clock().now();
  if (due && *due <= now) return;
  if (onIdle) {
    lock.unlock();
    onIdle();
    return;
  }
  // Woken by queued work, by a manual clock's advance (through wakeUp) or by real time.
  auto limit = timeout;
  if (due && &clock() == &realClock()) {
    limit = std::min(limit, std::chrono::ceil<std::chrono::milliseconds>(*due - now));
  }
  waker_->cv.wait_for(lock, limit, [&] { return waker_->wakes != seen; });
}

void HeadlessGui::wakeUp() {
  waker_->wake();
}

bool HeadlessGui::onGuiThread() const {
  return std::this_thread::get_id() == guiThread_;
}

bool HeadlessGui::runOpenDialog(OpenDialog& dialog) {
  dialogs_.push_back(dialog);
  std::optional<std::string> answer;
  if (!openAnswers_.empty()) {
    answer = std::move(openAnswers_.front());
    openAnswers_.pop_front();
  }
  // The main form is not activated again here: a form that switches its input off when it is
  // activated would lose the device it just chose a file for.
  if (!answer) return false;
  dialog.fileName = *answer;
  return true;
}

void HeadlessGui::messageBox(BoxKind kind, std::string_view text) {
  boxes_.push_back(
      {kind, kind == BoxKind::Error ? std::string("Error") : title(), std::string(text)});
  if (onBox) onBox(boxes_.back());
  activateMainForm();
}

void HeadlessGui::run() {
  activateMainForm();
  runMessageLoop(std::chrono::milliseconds(100));
}

std::uint32_t HeadlessGui::resolveColor(Color color) const {
  if (isSystemColor(color)) return 0xF0F0F0;  // the button face of the default theme
  return pixelOf(color);
}

void HeadlessGui::post(std::function<void()> action) {
  queue().post(std::move(action));
}

void HeadlessGui::requestClose() {
  queue().post(std::function<void()>([this] {
    Form* form = mainForm();
    if (form == nullptr) {
      terminate();
      return;
    }
    bool canClose = true;
    if (form->onCloseQuery) form->onCloseQuery(canClose);
    if (canClose) terminate();
  }));
}

void HeadlessGui::queueOpenDialogAnswer(std::optional<std::string> path) {
  openAnswers_.push_back(std::move(path));
}

bool HeadlessGui::synchronizePending() const {
  return queue().synchronizePending();
}

bool HeadlessGui::waitForSynchronize(std::chrono::milliseconds limit) const {
  return queue().waitForSynchronize(limit);
}

}  // namespace nuv::forms
