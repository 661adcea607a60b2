// The Qt 6 Widgets backend of the GUI toolkit seam (qt.cpp): the application object, and a
// window that shows a form's controls at their places. The thread that constructs a QtGui is
// its GUI thread; it creates the QApplication, which must not exist yet.
//
// Message processing runs Qt's own events (clicks, painting, the close button) and then the
// seam's queue (hand-overs from reader threads, posted messages, ticks). A wait blocks in Qt's
// event dispatcher and is woken through an eventfd, so hand-overs allocate nothing.
#pragma once

#include <QImage>
#include <QPixmap>
#include <functional>
#include <memory>
#include <string>

#include "platform/forms/Forms.h"
#include "platform/forms/QueuedApplication.h"

class QWidget;

namespace nuv::forms {

class QtWindow;
class QtTextPainter;

class QtGui : public QueuedApplication {
 public:
  // The QApplication gets the program name only: the program reads no command line.
  explicit QtGui(const char* programName);
  ~QtGui() override;
  QtGui(const QtGui&) = delete;
  QtGui& operator=(const QtGui&) = delete;

  void waitForMessages(std::chrono::milliseconds timeout) override;
  [[nodiscard]] bool onGuiThread() const override;

  void setTitle(std::string title) override;
  [[nodiscard]] bool runOpenDialog(OpenDialog& dialog) override;
  void messageBox(BoxKind kind, std::string_view text) override;
  void run() override;
  [[nodiscard]] std::string exePath() const override;
  [[nodiscard]] std::uint32_t resolveColor(Color color) const override;
  [[nodiscard]] const TextPainter& controlFont() const override;

  // --- the window ---
  // Turns a control's resource name (a glyph, a picture) into a pixmap.
  using ResourceLoader = std::function<QPixmap(const std::string& name)>;
  // The main window for the main form: a fixed client area of the form's size, the caption
  // following the form's. Controls are added with the calls below, at their bounds; a control
  // added to a container is placed inside it.
  QtWindow& window(ResourceLoader loader);
  void show();  // shows the window and activates the form
  [[nodiscard]] QImage grab() const;

  // Answers for the modal dialogs and boxes instead of a user, for tests that run a window on
  // the offscreen platform: when set, they are called and no modal loop runs.
  std::function<std::optional<std::string>(const OpenDialog&)> scriptedOpenDialog;
  std::function<void(BoxKind, std::string_view title, std::string_view text)> scriptedBox;

 private:
  QtGui(const char* programName, int wakeFd);
  // Qt's own events: clicks, painting, the close button.
  void processWindowMessages() override;
  void drainWake();

  std::unique_ptr<struct QtState> state_;
  std::unique_ptr<QtTextPainter> font_;
  std::unique_ptr<QtWindow> window_;
  int wakeFd_ = -1;
};

class SpeedButton;
class StatusBar;
class Picture;

class QtWindow {
 public:
  QtWindow(QtGui& gui, Form& form, QtGui::ResourceLoader loader);
  ~QtWindow();
  QtWindow(const QtWindow&) = delete;
  QtWindow& operator=(const QtWindow&) = delete;

  // A raised panel that holds other controls.
  void addPanel(Control& panel);
  void addPicture(Picture& picture, Control* parent = nullptr);
  void addButton(SpeedButton& button, Control* parent = nullptr);
  void addStatusBar(StatusBar& bar);
  // A drawn control: shows `image` whenever the control reports a change, at once (a repaint,
  // not a deferred update).
  void addImageControl(Control& control, const Bitmap& image, Control* parent = nullptr);

  [[nodiscard]] QWidget* widget() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace nuv::forms
