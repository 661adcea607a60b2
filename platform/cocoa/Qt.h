// The Qt 6 Widgets backend of the Cocoa seam: the window of QuenlorHID on Linux.
//
// The run loop is Qt's event loop on the GUI thread (real time). A test may hand in another
// run loop (the headless one, on its virtual clock) and still draw the real widgets; it may
// also answer the alert and the open panel by script instead of showing dialogs.
#pragma once

#include <functional>
#include <memory>

#include "platform/cocoa/Cocoa.h"

class QWidget;

namespace nuv::cocoa {

class QtApplication final : public Application {
 public:
  using AlertResponder = std::function<int(const Alert&)>;
  using OpenPanelResponder = std::function<OpenPanelResult()>;

  // Makes the QApplication when there is none yet, with the program name `appName` and no
  // command-line arguments. `loop`, when given, is used instead of the Qt event loop for
  // delayed calls and sources; it must outlive this object.
  explicit QtApplication(const char* appName, RunLoop* loop = nullptr);
  ~QtApplication() override;
  QtApplication(const QtApplication&) = delete;
  QtApplication& operator=(const QtApplication&) = delete;

  [[nodiscard]] RunLoop& runLoop() override;
  [[nodiscard]] Window& mainWindow() override;
  [[nodiscard]] std::optional<ViewOutlets> loadNib(std::string_view nibName) override;
  [[nodiscard]] std::unique_ptr<TextField> makeTextField(Rect frame) override;
  int runModalAlert(const Alert& alert) override;
  [[nodiscard]] OpenPanelResult runModalOpenPanel() override;

  void setAlertResponder(AlertResponder responder);
  void setOpenPanelResponder(OpenPanelResponder responder);

  // Shows the main window and runs the event loop until the window is closed; its result.
  int exec();
  // The main window's widget, e.g. for QWidget::grab().
  [[nodiscard]] QWidget* windowWidget();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace nuv::cocoa
