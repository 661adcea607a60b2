#include "platform/forms/Terminal.h"

namespace nuv::forms {

namespace {
constexpr Color kGreen = rgb(0, 128, 0);
constexpr Color kRed = rgb(255, 0, 0);
}  // namespace

StatusTone toneOf(Color color) {
  if (color == kGreen) return StatusTone::Success;
  if (color == kRed) return StatusTone::Failure;
  return StatusTone::Normal;
}

TerminalGui::TerminalGui(TerminalSink& sink, std::string imagePath)
    : sink_(sink), imagePath_(std::move(imagePath)) {}

bool TerminalGui::runOpenDialog(OpenDialog& dialog) {
  // The user named the file before the program started: the dialog is answered at once, with
  // the path as given (the flow opens it and reports what is wrong with it).
  if (imagePath_.empty()) {
    queueOpenDialogAnswer(std::nullopt);
  } else {
    queueOpenDialogAnswer(imagePath_);
  }
  return HeadlessGui::runOpenDialog(dialog);
}

void TerminalGui::messageBox(BoxKind kind, std::string_view text) {
  sink_.message(kind, text);
  // The base keeps the box for the front end to look at and activates the main form again,
  // as closing a box does in a window.
  HeadlessGui::messageBox(kind, text);
}

void TerminalGui::showStatusBar(StatusBar& bar) {
  bar.observe([this, &bar] {
    // A colour change alone is the first half of a status change: the text follows.
    if (statusShown_ && bar.panelText() == lastStatus_) return;
    statusShown_ = true;
    lastStatus_ = bar.panelText();
    sink_.status(lastStatus_, toneOf(bar.color()));
  });
  // What the bar shows already ("Idle") is not news; only changes are reported.
  statusShown_ = true;
  lastStatus_ = bar.panelText();
}

void TerminalGui::showGauge(
    Control& gauge, std::function<std::pair<std::int64_t, std::int64_t>()> valueAndMaximum) {
  gauge.observe([this, &gauge, read = std::move(valueAndMaximum)] {
    if (!gauge.visible()) return;
    const auto [value, maximum] = read();
    sink_.progress(value, maximum);
  });
}

void TerminalGui::interrupt() {
  post([this] {
    if (onInterrupt) onInterrupt();
  });
}

}  // namespace nuv::forms
