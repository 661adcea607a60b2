// The Win32 backend of the GUI toolkit seam: the application object of a native 32-bit Windows
// program (win32.cpp, its pictures in Win32Bitmap.cpp), and a window that shows a form's
// controls with GDI (Win32Window.cpp, the child windows in Win32Views.cpp, the font in
// GdiTextPainter.cpp). The thread that constructs a Win32Gui is its GUI thread.
//
// As in the class library, the application owns a small top-level window that carries the
// application title on the task bar and receives the system's broadcasts (WM_DEVICECHANGE);
// the main window is owned by it. Every message of that window is seen by the main-window
// hooks.
//
// Message processing is a PeekMessage loop over the thread's queue followed by the seam's
// queue (hand-overs from reader threads, posted messages, ticks). Waiting blocks in
// MsgWaitForMultipleObjectsEx on the thread's queue and an event that the seam's queue sets, so
// a hand-over allocates nothing.
//
// Activation: the form's onActivate runs when the main window is first shown and after every
// message box, as the contract of Application says; the window's own WM_ACTIVATE is not used,
// so that closing the open dialog does not activate the form.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/forms/Forms.h"
#include "platform/forms/QueuedApplication.h"

namespace nuv::forms {

class Win32Window;
class GdiTextPainter;

class Win32Gui : public QueuedApplication {
 public:
  // `instance` is the HINSTANCE of the program's module: its resources (icon "MAINICON",
  // pictures by name) and the window classes. Aborts the program when the application window
  // cannot be created, since nothing could be shown or broadcast to it.
  explicit Win32Gui(void* instance);
  ~Win32Gui() override;
  Win32Gui(const Win32Gui&) = delete;
  Win32Gui& operator=(const Win32Gui&) = delete;

  void waitForMessages(std::chrono::milliseconds timeout) override;
  [[nodiscard]] bool onGuiThread() const override;

  void setTitle(std::string title) override;
  [[nodiscard]] bool runOpenDialog(OpenDialog& dialog) override;
  void messageBox(BoxKind kind, std::string_view text) override;
  void run() override;
  [[nodiscard]] std::string exePath() const override;
  [[nodiscard]] std::uint32_t resolveColor(Color color) const override;
  [[nodiscard]] const TextPainter& controlFont() const override;

  // The main window for the main form (set before): a fixed client area of the form's size,
  // the caption following the form's. Controls are added with Win32Window's calls.
  Win32Window& window();
  // Shows the main window centred on the screen and activates the form.
  void show();

  // The main window (HWND), null before window() made it.
  [[nodiscard]] void* mainWindowHandle() const;
  // The application window (HWND) and the module (HINSTANCE).
  [[nodiscard]] void* applicationWindow() const { return appWindow_; }
  [[nodiscard]] void* instance() const { return instance_; }
  // A picture resource of the module (a BITMAP of 24 or 32 bits; 32-bit pixels carry alpha),
  // composed onto `background` (0x00RRGGBB). False, with `into` untouched, when there is no
  // such resource or it is not of that form.
  [[nodiscard]] bool loadPicture(const std::string& name, std::uint32_t background,
                                 Bitmap& into) const;

 private:
  Win32Gui(void* instance, void* wakeEvent);
  // The thread's message queue: PeekMessage until it is empty; WM_QUIT ends the loop.
  void processWindowMessages() override;

  void* instance_;
  void* appWindow_ = nullptr;
  void* wakeEvent_;
  unsigned long guiThread_;
  std::unique_ptr<GdiTextPainter> font_;
  std::unique_ptr<Win32Window> window_;
};

class Picture;
class SpeedButton;
class StatusBar;

// The main window and its child windows. One child window per control, of a class named as
// the class library names it (TPanel, TImage, TSpeedButton, TGauge, TStatusBar), whose window
// text is the control's text, so that tools that look at windows see what the user sees. A
// control added to a container is placed inside it. GUI thread.
class Win32Window {
 public:
  Win32Window(Win32Gui& gui, Form& form);
  ~Win32Window();
  Win32Window(const Win32Window&) = delete;
  Win32Window& operator=(const Win32Window&) = delete;

  // A raised panel that holds other controls.
  void addPanel(Control& panel);
  // A picture from the module's resources, below its sibling controls.
  void addPicture(Picture& picture, Control* parent = nullptr);
  // A button with a glyph and a caption whose "&" marks the accelerator (Alt and the letter,
  // or the letter alone while the window has the focus); the hint shows as a tooltip. It also
  // takes BM_CLICK, as a push button does.
  void addButton(SpeedButton& button, Control* parent = nullptr);
  // The status bar: one panel across the whole bar, the text centred on the bar's colour.
  void addStatusBar(StatusBar& bar);
  // A drawn control: shows `image` whenever the control reports a change, at once.
  void addImageControl(Control& control, const Bitmap& image, Control* parent = nullptr);

  [[nodiscard]] void* handle() const;
  // Hides the window (after its close was allowed); the child windows live on until the
  // window is destroyed, so a flow that still runs may keep updating them.
  void hide();
  // The accelerator keys: clicks the visible, enabled button whose caption marks `key`.
  [[nodiscard]] bool clickAccelerator(char key);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace nuv::forms
