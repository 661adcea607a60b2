// The child windows of the Win32 backend's main window: one view per control, which paints the
// child window and reacts to its mouse and button messages. GUI thread.
#pragma once

#include <windows.h>

#include <cstdint>

#include "platform/forms/Controls.h"

namespace nuv::forms {
class GdiTextPainter;
class Win32Gui;
}  // namespace nuv::forms

namespace nuv::forms::win32 {

// What a child window shows and how it reacts; the window's GWLP_USERDATA points at it.
struct ChildView {
  virtual ~ChildView() = default;
  virtual void paint(HDC dc, const RECT& client) = 0;
  // Mouse and button messages; true when handled.
  virtual bool handle(UINT, WPARAM, LPARAM) { return false; }
  HWND hwnd = nullptr;
};

// The window procedure of every child window class. The creation parameter of a child window
// is its view, which it keeps in GWLP_USERDATA until the window is destroyed.
LRESULT CALLBACK childProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Moves, enables and shows a child window as its control says.
void place(HWND hwnd, const Control& control);
// Paints a child window at once, not at the next WM_PAINT.
void repaintNow(HWND hwnd);
// Greys a glyph for the disabled state: its lightness, drawn nearer the button face.
void greyed(const Bitmap& glyph, std::uint32_t face, Bitmap& into);

// A raised panel.
struct PanelView final : ChildView {
  void paint(HDC dc, const RECT& client) override;
};

// A picture, or what a drawn control (the gauge) shows.
struct ImageView final : ChildView {
  explicit ImageView(const Bitmap& image) : image(image) {}
  void paint(HDC dc, const RECT& client) override;
  const Bitmap& image;
};

// A speed button: its glyph and caption, sunk while pressed or down, clicked on release inside.
struct ButtonView final : ChildView {
  ButtonView(SpeedButton& button, const GdiTextPainter& font) : button(button), font(font) {}
  void paint(HDC dc, const RECT& client) override;
  bool handle(UINT message, WPARAM wParam, LPARAM lParam) override;
  void setPressed(bool p);
  [[nodiscard]] bool inside(LPARAM lParam) const;

  SpeedButton& button;
  const GdiTextPainter& font;
  Bitmap glyph, disabledGlyph;
  bool pressed = false;
};

// The status bar: one panel, the text centred on the bar's colour.
struct StatusBarView final : ChildView {
  StatusBarView(StatusBar& bar, const Win32Gui& gui) : bar(bar), gui(gui) {}
  void paint(HDC dc, const RECT& client) override;
  StatusBar& bar;
  const Win32Gui& gui;
};

}  // namespace nuv::forms::win32
