#include "platform/forms/Win32Views.h"

#include "platform/forms/GdiTextPainter.h"
#include "platform/forms/Win32.h"

namespace nuv::forms::win32 {

namespace {

// The space between a button's glyph and its caption.
constexpr int kGlyphSpacing = 4;

// Shows a bitmap of 0x00RRGGBB pixels, which is the memory layout of a 32-bit top-down DIB.
void blit(HDC dc, const Bitmap& image) {
  if (image.width() <= 0 || image.height() <= 0) return;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = image.width();
  info.bmiHeader.biHeight = -image.height();
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  SetDIBitsToDevice(dc, 0, 0, static_cast<DWORD>(image.width()), static_cast<DWORD>(image.height()),
                    0, 0, 0, static_cast<UINT>(image.height()), image.pixels().data(), &info,
                    DIB_RGB_COLORS);
}

}  // namespace

LRESULT CALLBACK childProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
    auto* view = static_cast<ChildView*>(create->lpCreateParams);
    view->hwnd = hwnd;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(view));
  }
  auto* view = reinterpret_cast<ChildView*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (view == nullptr) return DefWindowProcA(hwnd, message, wParam, lParam);
  switch (message) {
    case WM_NCDESTROY:
      // The controls may be gone by now: nothing of them is looked at any more.
      SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
      break;
    case WM_ERASEBKGND:
      return 1;  // every view paints its whole area
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      RECT client;
      GetClientRect(hwnd, &client);
      view->paint(dc, client);
      EndPaint(hwnd, &ps);
      return 0;
    }
    default:
      if (view->handle(message, wParam, lParam)) return 0;
      break;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

void place(HWND hwnd, const Control& control) {
  const Rect r = control.bounds();
  SetWindowPos(hwnd, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
               SWP_NOZORDER | SWP_NOACTIVATE);
  EnableWindow(hwnd, control.enabled() ? TRUE : FALSE);
  ShowWindow(hwnd, control.visible() ? SW_SHOWNA : SW_HIDE);
}

void repaintNow(HWND hwnd) {
  InvalidateRect(hwnd, nullptr, FALSE);
  UpdateWindow(hwnd);
}

// Greys a glyph for the disabled state: its lightness, drawn nearer the button face.
void greyed(const Bitmap& glyph, std::uint32_t face, Bitmap& into) {
  into.resize(glyph.width(), glyph.height());
  for (int y = 0; y < glyph.height(); ++y) {
    for (int x = 0; x < glyph.width(); ++x) {
      const std::uint32_t p = glyph.pixel(x, y);
      const unsigned lightness =
          (((p >> 16) & 0xFF) * 30 + ((p >> 8) & 0xFF) * 59 + (p & 0xFF) * 11) / 100;
      auto mix = [&](int shift) {
        return ((lightness + 2 * ((face >> shift) & 0xFF)) / 3) << shift;
      };
      into.setPixel(x, y, mix(16) | mix(8) | mix(0));
    }
  }
}

void PanelView::paint(HDC dc, const RECT& client) {
  RECT r = client;
  FillRect(dc, &r, GetSysColorBrush(COLOR_BTNFACE));
  DrawEdge(dc, &r, BDR_RAISEDINNER, BF_RECT);
}

void ImageView::paint(HDC dc, const RECT& client) {
  if (image.width() < client.right || image.height() < client.bottom) {
    FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
  }
  blit(dc, image);
}

void ButtonView::paint(HDC dc, const RECT& client) {
  RECT r = client;
  const bool sunk = pressed || button.down();
  FillRect(dc, &r, GetSysColorBrush(COLOR_BTNFACE));
  DrawEdge(dc, &r, sunk ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT);
  const Bitmap& shown = button.enabled() ? glyph : disabledGlyph;
  SelectObject(dc, font.font());
  RECT textSize{0, 0, 0, 0};
  DrawTextA(dc, button.caption().c_str(), -1, &textSize, DT_SINGLELINE | DT_CALCRECT);
  const int glyphWidth = shown.width() > 0 ? shown.width() + kGlyphSpacing : 0;
  const int shift = sunk ? 1 : 0;
  const int left = (client.right - glyphWidth - textSize.right) / 2 + shift;
  if (shown.width() > 0) {
    const int top = (client.bottom - shown.height()) / 2 + shift;
    SetViewportOrgEx(dc, left, top, nullptr);
    blit(dc, shown);
    SetViewportOrgEx(dc, 0, 0, nullptr);
  }
  RECT text{left + glyphWidth, shift, client.right, client.bottom + shift};
  SetBkMode(dc, TRANSPARENT);
  const UINT format = DT_SINGLELINE | DT_VCENTER | DT_LEFT;
  if (button.enabled()) {
    SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
    DrawTextA(dc, button.caption().c_str(), -1, &text, format);
  } else {  // the embossed text of a disabled control
    OffsetRect(&text, 1, 1);
    SetTextColor(dc, GetSysColor(COLOR_BTNHIGHLIGHT));
    DrawTextA(dc, button.caption().c_str(), -1, &text, format);
    OffsetRect(&text, -1, -1);
    SetTextColor(dc, GetSysColor(COLOR_BTNSHADOW));
    DrawTextA(dc, button.caption().c_str(), -1, &text, format);
  }
}

bool ButtonView::handle(UINT message, WPARAM, LPARAM lParam) {
  switch (message) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
      SetCapture(hwnd);
      setPressed(true);
      return true;
    case WM_MOUSEMOVE:
      if (GetCapture() == hwnd) setPressed(inside(lParam));
      return true;
    case WM_LBUTTONUP: {
      if (GetCapture() != hwnd) return true;
      const bool clicked = pressed && inside(lParam);
      ReleaseCapture();  // clears `pressed` through WM_CAPTURECHANGED
      setPressed(false);
      // The handler may run a whole flow, pumping messages; this view outlives it.
      if (clicked) button.click();
      return true;
    }
    case WM_CAPTURECHANGED:
      setPressed(false);
      return true;
    case BM_CLICK:
      button.click();
      return true;
    default:
      return false;
  }
}

void ButtonView::setPressed(bool p) {
  if (p == pressed) return;
  pressed = p;
  repaintNow(hwnd);
}

bool ButtonView::inside(LPARAM lParam) const {
  RECT client;
  GetClientRect(hwnd, &client);
  const POINT at{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
  return PtInRect(&client, at) != FALSE;
}

void StatusBarView::paint(HDC dc, const RECT& client) {
  RECT r = client;
  const std::uint32_t background = gui.resolveColor(bar.color());
  SelectObject(dc, GetStockObject(DC_BRUSH));
  SetDCBrushColor(dc, RGB((background >> 16) & 0xFF, (background >> 8) & 0xFF, background & 0xFF));
  PatBlt(dc, r.left, r.top, r.right - r.left, r.bottom - r.top, PATCOPY);
  RECT panel{r.left, r.top + 2, r.right, r.bottom};
  DrawEdge(dc, &panel, BDR_SUNKENOUTER, BF_RECT);
  SelectObject(dc, static_cast<const GdiTextPainter&>(gui.controlFont()).font());
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));  // the window text colour on every state
  DrawTextA(dc, bar.panelText().data(), static_cast<int>(bar.panelText().size()), &panel,
            DT_SINGLELINE | DT_VCENTER | DT_CENTER | DT_NOPREFIX);
}

}  // namespace nuv::forms::win32
