// The terminal backend of the GUI toolkit seam: the headless application on real time, with
// what a window would show sent to a terminal front end instead. The status bar and the gauge
// that the front end hands over are watched and reported as they change, message boxes become
// messages, the open-file dialog is answered with the file named on the command line, and an
// interrupt (Ctrl-C) becomes whatever the front end says, normally a click of the Stop button.
//
// Threads: as HeadlessGui, the thread that constructs it is the GUI thread; the sink is called
// there only. interrupt() may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/forms/Headless.h"

namespace nuv::forms {

enum class StatusTone { Normal, Success, Failure };

// Where the terminal backend sends what the window would show. Called on the GUI thread.
class TerminalSink {
 public:
  virtual ~TerminalSink() = default;
  virtual void status(std::string_view text, StatusTone tone) = 0;
  // The gauge, while it is visible: its progress of its maximum.
  virtual void progress(std::int64_t value, std::int64_t maximum) = 0;
  virtual void message(BoxKind kind, std::string_view text) = 0;
};

// The tone of a status bar colour: green is success, red failure, anything else normal.
[[nodiscard]] StatusTone toneOf(Color color);

class TerminalGui final : public HeadlessGui {
 public:
  // Every open-file dialog is answered with `imagePath` (empty: cancelled). The sink must
  // outlive the application.
  TerminalGui(TerminalSink& sink, std::string imagePath);

  [[nodiscard]] bool runOpenDialog(OpenDialog& dialog) override;
  void messageBox(BoxKind kind, std::string_view text) override;

  // Reports every change of the bar's text, with the colour it has then (colours are set
  // before texts); a text set again unchanged is not reported twice. The bar must outlive
  // the application's use of it.
  void showStatusBar(StatusBar& bar);
  // Reports `valueAndMaximum()` at every repaint of `gauge` while it is visible.
  void showGauge(Control& gauge,
                 std::function<std::pair<std::int64_t, std::int64_t>()> valueAndMaximum);

  // Any thread: runs onInterrupt on the GUI thread in its next round of message processing,
  // as a click would arrive. Nothing else happens in the calling thread.
  void interrupt();
  std::function<void()> onInterrupt;

 private:
  TerminalSink& sink_;
  std::string imagePath_;
  std::string lastStatus_;
  bool statusShown_ = false;
};

}  // namespace nuv::forms
