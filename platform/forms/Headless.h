// The headless backend of the GUI toolkit seam (headless.cpp): no window, no display. The
// thread that constructs a HeadlessGui is its GUI thread. What a user would do (choose a file,
// close a box, click, close the window) is scripted by the test.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/forms/Forms.h"
#include "platform/forms/QueuedApplication.h"

namespace nuv::forms {

struct HeadlessWaker;

class HeadlessGui : public QueuedApplication {
 public:
  HeadlessGui();
  explicit HeadlessGui(const Clock& clock);
  // Shuts down: synchronize calls waiting or arriving later return false without running.
  ~HeadlessGui() override;
  HeadlessGui(const HeadlessGui&) = delete;
  HeadlessGui& operator=(const HeadlessGui&) = delete;

  // With an idle handler set and nothing pending or due, runs the handler instead of waiting.
  void waitForMessages(std::chrono::milliseconds timeout) override;
  [[nodiscard]] bool onGuiThread() const override;

  [[nodiscard]] bool runOpenDialog(OpenDialog& dialog) override;
  void messageBox(BoxKind kind, std::string_view text) override;
  void run() override;
  [[nodiscard]] std::string exePath() const override { return exePath_; }
  [[nodiscard]] std::uint32_t resolveColor(Color color) const override;
  [[nodiscard]] const TextPainter& controlFont() const override { return font_; }

  // --- scripting, for tests ---
  // Any thread: runs `action` on the GUI thread in its next round of message processing, as a
  // click or a key press would arrive.
  void post(std::function<void()> action);
  // Any thread: the user asks to close the main form (runs its close query, then terminates
  // the loop when allowed) in the next round.
  void requestClose();
  // Activates the main form, as showing it does.
  using QueuedApplication::activateMainForm;
  // Answers of the next open-file dialogs, in order: a path, or nothing for Cancel. With no
  // answer queued the dialog is cancelled.
  void queueOpenDialogAnswer(std::optional<std::string> path);
  struct ShownBox {
    BoxKind kind;
    std::string title;
    std::string text;
  };
  // Every box shown so far, and a handler that runs while a box is "open" (before it closes).
  [[nodiscard]] const std::vector<ShownBox>& boxes() const { return boxes_; }
  std::function<void(const ShownBox&)> onBox;
  // The dialogs as they were shown (their properties at execute time).
  [[nodiscard]] const std::vector<OpenDialog>& dialogsShown() const { return dialogs_; }
  // Runs on the GUI thread when it would otherwise wait with nothing pending or due: a test
  // moves its clock here, or lets a device reply.
  std::function<void()> onIdle;
  // Any thread: whether a synchronize call is waiting to be run.
  [[nodiscard]] bool synchronizePending() const;
  // Any thread: waits (real time, at most `limit`) until a synchronize call is waiting.
  [[nodiscard]] bool waitForSynchronize(std::chrono::milliseconds limit) const;
  void setExePath(std::string path) { exePath_ = std::move(path); }
  // Any thread: wakes a GUI thread blocked in waitForMessages (after a manual clock moved).
  void wakeUp();

 private:
  HeadlessGui(const Clock& clock, std::unique_ptr<HeadlessWaker> waker);

  std::unique_ptr<HeadlessWaker> waker_;
  const std::thread::id guiThread_;
  std::string exePath_;
  BuiltinFont font_{1};
  std::deque<std::optional<std::string>> openAnswers_;
  std::vector<ShownBox> boxes_;
  std::vector<OpenDialog> dialogs_;
};

}  // namespace nuv::forms
