#include <windows.h>
// After windows.h, which they need.
#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "Win32.h"

namespace forms {

namespace {

constexpr char kApplicationClass[] = "TApplication";
constexpr char kMainFormClass[] = "TMainForm";
constexpr char kPanelClass[] = "TPanel";
constexpr char kImageClass[] = "TImage";
constexpr char kButtonClass[] = "TSpeedButton";
constexpr char kGaugeClass[] = "TGauge";
constexpr char kStatusBarClass[] = "TStatusBar";
// The space between a button's glyph and its caption.
constexpr int kGlyphSpacing = 4;
// The largest picture resource taken: far above any art of the window, and small enough that
// its pixel count cannot overflow.
constexpr int kMaxPictureSide = 4096;

[[noreturn]] void fatal(const char* call) {
  char text[160];
  std::snprintf(text, sizeof text, "%s failed, error %lu", call, GetLastError());
  MessageBoxA(nullptr, text, "Error", MB_OK | MB_ICONERROR);
  std::abort();
}

HWND asWindow(void* handle) {
  return static_cast<HWND>(handle);
}

std::uint32_t pixelOfColorref(COLORREF c) {
  return pixelOf(static_cast<Color>(c));
}

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

// The control font: "MS Sans Serif" with 13-pixel cells (the 8-point face of a 96-dpi screen),
// or the nearest face the system has. Drawn without anti-aliasing, so every text pixel is white
// or untouched and the gauge's XOR gives exact complements.
class GdiTextPainter final : public TextPainter {
 public:
  GdiTextPainter()
      : font_(CreateFontA(13, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                          OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, NONANTIALIASED_QUALITY,
                          DEFAULT_PITCH | FF_SWISS, "MS Sans Serif")),
        dc_(CreateCompatibleDC(nullptr)) {
    if (font_ == nullptr) fatal("CreateFontA");
    if (dc_ == nullptr) fatal("CreateCompatibleDC");
    SelectObject(dc_, font_);
  }
  ~GdiTextPainter() override {
    DeleteDC(dc_);
    if (scratch_ != nullptr) DeleteObject(scratch_);
    DeleteObject(font_);
  }
  GdiTextPainter(const GdiTextPainter&) = delete;
  GdiTextPainter& operator=(const GdiTextPainter&) = delete;

  [[nodiscard]] HFONT font() const { return font_; }

  [[nodiscard]] Extent measure(std::string_view text) const override {
    SIZE size{};
    GetTextExtentPoint32A(dc_, text.data(), static_cast<int>(text.size()), &size);
    return {size.cx, size.cy};
  }

  void drawWhite(Bitmap& target, int x, int y, std::string_view text,
                 const Rect& clip) const override {
    if (target.width() <= 0 || target.height() <= 0) return;
    if (!ensureScratch(target.width(), target.height())) return;
    PatBlt(dc_, 0, 0, target.width(), target.height(), BLACKNESS);
    SelectClipRgn(dc_, nullptr);
    IntersectClipRect(dc_, clip.left, clip.top, clip.right, clip.bottom);
    SetBkMode(dc_, TRANSPARENT);
    SetTextColor(dc_, RGB(255, 255, 255));
    TextOutA(dc_, x, y, text.data(), static_cast<int>(text.size()));
    GdiFlush();
    const int left = std::max(clip.left, 0), right = std::min(clip.right, target.width());
    const int top = std::max(clip.top, 0), bottom = std::min(clip.bottom, target.height());
    for (int py = top; py < bottom; ++py) {
      const std::uint32_t* row = scratchBits_ + static_cast<std::size_t>(py) * scratchWidth_;
      for (int px = left; px < right; ++px) {
        if ((row[px] & 0xFFFFFF) != 0) target.setPixel(px, py, 0xFFFFFF);
      }
    }
  }

 private:
  // The drawing surface, made again only when the target's size changes.
  bool ensureScratch(int width, int height) const {
    if (scratch_ != nullptr && scratchWidth_ == width && scratchHeight_ == height) return true;
    if (scratch_ != nullptr) DeleteObject(scratch_);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    scratch_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (scratch_ == nullptr) return false;
    SelectObject(dc_, scratch_);
    scratchBits_ = static_cast<std::uint32_t*>(bits);
    scratchWidth_ = width;
    scratchHeight_ = height;
    return true;
  }

  HFONT font_;
  HDC dc_;
  mutable HBITMAP scratch_ = nullptr;
  mutable std::uint32_t* scratchBits_ = nullptr;
  mutable int scratchWidth_ = 0, scratchHeight_ = 0;
};

// --- child windows ---

namespace {

// What a child window shows and how it reacts; the window's GWLP_USERDATA points at it.
struct ChildView {
  virtual ~ChildView() = default;
  virtual void paint(HDC dc, const RECT& client) = 0;
  // Mouse and button messages; true when handled.
  virtual bool handle(UINT, WPARAM, LPARAM) { return false; }
  HWND hwnd = nullptr;
};

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

struct PanelView final : ChildView {
  void paint(HDC dc, const RECT& client) override {
    RECT r = client;
    FillRect(dc, &r, GetSysColorBrush(COLOR_BTNFACE));
    DrawEdge(dc, &r, BDR_RAISEDINNER, BF_RECT);
  }
};

struct ImageView final : ChildView {
  explicit ImageView(const Bitmap& image) : image(image) {}
  void paint(HDC dc, const RECT& client) override {
    if (image.width() < client.right || image.height() < client.bottom) {
      FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
    }
    blit(dc, image);
  }
  const Bitmap& image;
};

struct ButtonView final : ChildView {
  ButtonView(SpeedButton& button, const GdiTextPainter& font) : button(button), font(font) {}

  void paint(HDC dc, const RECT& client) override {
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

  bool handle(UINT message, WPARAM, LPARAM lParam) override {
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

  void setPressed(bool p) {
    if (p == pressed) return;
    pressed = p;
    repaintNow(hwnd);
  }
  [[nodiscard]] bool inside(LPARAM lParam) const {
    RECT client;
    GetClientRect(hwnd, &client);
    const POINT at{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    return PtInRect(&client, at) != FALSE;
  }

  SpeedButton& button;
  const GdiTextPainter& font;
  Bitmap glyph, disabledGlyph;
  bool pressed = false;
};

struct StatusBarView final : ChildView {
  StatusBarView(StatusBar& bar, const Win32Gui& gui) : bar(bar), gui(gui) {}
  void paint(HDC dc, const RECT& client) override {
    RECT r = client;
    const std::uint32_t background = gui.resolveColor(bar.color());
    SelectObject(dc, GetStockObject(DC_BRUSH));
    SetDCBrushColor(dc,
                    RGB((background >> 16) & 0xFF, (background >> 8) & 0xFF, background & 0xFF));
    PatBlt(dc, r.left, r.top, r.right - r.left, r.bottom - r.top, PATCOPY);
    RECT panel{r.left, r.top + 2, r.right, r.bottom};
    DrawEdge(dc, &panel, BDR_SUNKENOUTER, BF_RECT);
    SelectObject(dc, static_cast<const GdiTextPainter&>(gui.controlFont()).font());
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));  // the window text colour on every state
    DrawTextA(dc, bar.panelText().data(), static_cast<int>(bar.panelText().size()), &panel,
              DT_SINGLELINE | DT_VCENTER | DT_CENTER | DT_NOPREFIX);
  }
  StatusBar& bar;
  const Win32Gui& gui;
};

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

}  // namespace

struct Win32Window::Impl {
  Win32Gui& gui;
  Form& form;
  HWND main = nullptr;
  HWND tooltip = nullptr;
  std::vector<std::unique_ptr<ChildView>> views;
  std::vector<std::unique_ptr<Bitmap>> pictures;
  std::map<const Control*, HWND> windows;
  std::vector<std::pair<SpeedButton*, HWND>> buttons;

  HWND parentOf(const Control* parent) const {
    if (parent == nullptr) return main;
    const auto it = windows.find(parent);
    return it != windows.end() ? it->second : main;
  }

  HWND createChild(const char* windowClass, std::unique_ptr<ChildView> view, const Control& control,
                   const Control* parent, const char* text = "") {
    ChildView* raw = view.get();
    views.push_back(std::move(view));
    HWND hwnd =
        CreateWindowExA(0, windowClass, text, WS_CHILD | WS_CLIPSIBLINGS, 0, 0, 0, 0,
                        parentOf(parent), nullptr, static_cast<HINSTANCE>(gui.instance()), raw);
    if (hwnd == nullptr) fatal("CreateWindowExA");
    // Later controls lie above earlier ones, as the form stacks them.
    SetWindowPos(hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    place(hwnd, control);
    windows[&control] = hwnd;
    return hwnd;
  }

  bool clickAccelerator(char key) {
    if (key == '\0') return false;
    const int wanted = std::toupper(static_cast<unsigned char>(key));
    for (auto& [button, hwnd] : buttons) {
      const std::string& caption = button->caption();
      for (std::size_t i = 0; i + 1 < caption.size(); ++i) {
        if (caption[i] != '&') continue;
        if (caption[i + 1] == '&') {  // "&&" is a literal ampersand
          ++i;
          continue;
        }
        if (std::toupper(static_cast<unsigned char>(caption[i + 1])) == wanted &&
            button->visible() && button->enabled()) {
          button->click();
          return true;
        }
        break;
      }
    }
    return false;
  }

  void onClose() {
    bool canClose = true;
    if (form.onCloseQuery) form.onCloseQuery(canClose);
    if (!canClose) return;
    gui.terminate();
    ShowWindow(main, SW_HIDE);
  }
};

namespace {

LRESULT CALLBACK mainFormProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* window = reinterpret_cast<Win32Window::Impl*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (window == nullptr) return DefWindowProcA(hwnd, message, wParam, lParam);
  switch (message) {
    case WM_NCDESTROY:
      SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
      break;
    case WM_CLOSE:
      window->onClose();
      return 0;
    case WM_SYSCHAR:
    case WM_CHAR:
      if (window->clickAccelerator(static_cast<char>(wParam))) return 0;
      break;
    case WM_SYSCOMMAND:
      // The application window stands for the program on the task bar: minimising the form
      // minimises it, which hides the form with it.
      if ((wParam & 0xFFF0) == SC_MINIMIZE) {
        ShowWindow(asWindow(window->gui.applicationWindow()), SW_MINIMIZE);
        return 0;
      }
      break;
    default:
      break;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

LRESULT CALLBACK applicationProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* gui = reinterpret_cast<Win32Gui*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (gui == nullptr) return DefWindowProcA(hwnd, message, wParam, lParam);
  if (message == WM_NCDESTROY) SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
  if (message == WM_DEVICECHANGE) {
    gui->postMainWindowMessage({message, wParam, lParam});
    return TRUE;
  }
  // The main window, once there is one: a box shown before it (a start-up failure) is owned
  // by this window, which may be activated when the box closes.
  HWND main = asWindow(gui->mainWindowHandle());
  if (message == WM_ACTIVATE && LOWORD(wParam) != WA_INACTIVE && main != nullptr &&
      IsWindowVisible(main)) {
    // Coming back from the task bar: the form, not the zero-sized application window, takes
    // the focus.
    SetActiveWindow(main);
    return 0;
  }
  if (message == WM_CLOSE && main != nullptr) {  // closing from the task bar closes the form
    PostMessageA(main, WM_CLOSE, 0, 0);
    return 0;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

void registerClass(HINSTANCE instance, const char* name, WNDPROC proc, HICON icon, UINT style) {
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.style = style;
  wc.lpfnWndProc = proc;
  wc.hInstance = instance;
  wc.hIcon = icon;
  wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = name;
  if (RegisterClassExA(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    fatal("RegisterClassExA");
  }
}

}  // namespace

Win32Window::Win32Window(Win32Gui& gui, Form& form)
    : impl_(std::make_unique<Impl>(Impl{gui, form})) {
  // Fixed single border with system menu and minimise box: no maximise, not resizable.
  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  RECT frame{0, 0, form.clientWidth(), form.clientHeight()};
  AdjustWindowRectEx(&frame, style, FALSE, 0);
  impl_->main = CreateWindowExA(0, kMainFormClass, form.caption().c_str(), style, 0, 0,
                                frame.right - frame.left, frame.bottom - frame.top,
                                asWindow(gui.applicationWindow()), nullptr,
                                static_cast<HINSTANCE>(gui.instance()), impl_.get());
  if (impl_->main == nullptr) fatal("CreateWindowExA");
  SendMessageA(
      impl_->main, WM_SETFONT,
      reinterpret_cast<WPARAM>(static_cast<const GdiTextPainter&>(gui.controlFont()).font()),
      FALSE);
  impl_->tooltip =
      CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP, 0, 0, 0, 0,
                      impl_->main, nullptr, static_cast<HINSTANCE>(gui.instance()), nullptr);
  form.observe([this] { SetWindowTextA(impl_->main, impl_->form.caption().c_str()); });
}

Win32Window::~Win32Window() {
  DestroyWindow(impl_->main);  // and with it every child and the tooltip
}

void* Win32Window::handle() const {
  return impl_->main;
}

void Win32Window::hide() {
  ShowWindow(impl_->main, SW_HIDE);
}

bool Win32Window::clickAccelerator(char key) {
  return impl_->clickAccelerator(key);
}

void Win32Window::addPanel(Control& panel) {
  HWND hwnd = impl_->createChild(kPanelClass, std::make_unique<PanelView>(), panel, nullptr);
  SetWindowLongA(hwnd, GWL_STYLE, GetWindowLongA(hwnd, GWL_STYLE) | WS_CLIPCHILDREN);
  panel.observe([hwnd, &panel] { place(hwnd, panel); });
}

void Win32Window::addPicture(Picture& picture, Control* parent) {
  impl_->pictures.push_back(std::make_unique<Bitmap>());
  Bitmap& image = *impl_->pictures.back();
  HWND hwnd = impl_->createChild(kImageClass, std::make_unique<ImageView>(image), picture, parent);
  SetWindowPos(hwnd, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  auto update = [this, hwnd, &picture, &image] {
    place(hwnd, picture);
    // A transparent picture shows the button face of the panel under it.
    if (!impl_->gui.loadPicture(picture.resource(), impl_->gui.resolveColor(kClBtnFace), image)) {
      image.resize(0, 0);
    }
    repaintNow(hwnd);
  };
  update();
  picture.observe(update);
}

void Win32Window::addButton(SpeedButton& button, Control* parent) {
  auto view = std::make_unique<ButtonView>(
      button, static_cast<const GdiTextPainter&>(impl_->gui.controlFont()));
  ButtonView& shown = *view;
  HWND hwnd =
      impl_->createChild(kButtonClass, std::move(view), button, parent, button.caption().c_str());
  impl_->buttons.emplace_back(&button, hwnd);
  if (impl_->tooltip != nullptr) {
    TOOLINFOA tool{};
    tool.cbSize = TTTOOLINFOA_V2_SIZE;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = impl_->main;
    tool.uId = reinterpret_cast<UINT_PTR>(hwnd);
    tool.lpszText = const_cast<char*>(button.hint().c_str());  // copied by the tooltip
    SendMessageA(impl_->tooltip, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
  }
  auto update = [this, hwnd, &button, &shown] {
    place(hwnd, button);
    SetWindowTextA(hwnd, button.caption().c_str());
    const std::uint32_t face = impl_->gui.resolveColor(kClBtnFace);
    if (!impl_->gui.loadPicture(button.glyph(), face, shown.glyph)) shown.glyph.resize(0, 0);
    greyed(shown.glyph, face, shown.disabledGlyph);
    repaintNow(hwnd);
  };
  update();
  button.observe(update);
}

void Win32Window::addStatusBar(StatusBar& bar) {
  HWND hwnd = impl_->createChild(kStatusBarClass, std::make_unique<StatusBarView>(bar, impl_->gui),
                                 bar, nullptr, bar.panelText().c_str());
  bar.observe([hwnd, &bar] {
    place(hwnd, bar);
    SetWindowTextA(hwnd, bar.panelText().c_str());
    repaintNow(hwnd);
  });
}

void Win32Window::addImageControl(Control& control, const Bitmap& image, Control* parent) {
  HWND hwnd = impl_->createChild(kGaugeClass, std::make_unique<ImageView>(image), control, parent);
  control.observe([hwnd, &control] {
    place(hwnd, control);
    repaintNow(hwnd);
  });
}

// --- the application object ---

namespace {
// The event through which other threads wake the GUI thread (auto-reset).
void* createWakeEvent() {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (event == nullptr) fatal("CreateEventA");
  return event;
}
}  // namespace

Win32Gui::Win32Gui(void* instance) : Win32Gui(instance, createWakeEvent()) {}

Win32Gui::Win32Gui(void* instance, void* wakeEvent)
    : QueuedApplication(realClock(), [wakeEvent] { SetEvent(wakeEvent); }),
      instance_(instance),
      wakeEvent_(wakeEvent),
      guiThread_(GetCurrentThreadId()) {
  const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);
  font_ = std::make_unique<GdiTextPainter>();

  auto* module = static_cast<HINSTANCE>(instance_);
  HICON icon = LoadIconA(module, "MAINICON");
  registerClass(module, kApplicationClass, applicationProc, icon, 0);
  registerClass(module, kMainFormClass, mainFormProc, icon, 0);
  registerClass(module, kPanelClass, childProc, nullptr, 0);
  registerClass(module, kImageClass, childProc, nullptr, 0);
  registerClass(module, kButtonClass, childProc, nullptr, CS_DBLCLKS);
  registerClass(module, kGaugeClass, childProc, nullptr, 0);
  registerClass(module, kStatusBarClass, childProc, nullptr, 0);

  // Zero-sized and off the screen's middle: it exists for its task-bar button and broadcasts.
  const int x = GetSystemMetrics(SM_CXSCREEN) / 2, y = GetSystemMetrics(SM_CYSCREEN) / 2;
  appWindow_ =
      CreateWindowExA(0, kApplicationClass, "",
                      WS_POPUP | WS_CAPTION | WS_CLIPSIBLINGS | WS_SYSMENU | WS_MINIMIZEBOX, x, y,
                      0, 0, nullptr, nullptr, module, this);
  if (appWindow_ == nullptr) fatal("CreateWindowExA");
}

Win32Gui::~Win32Gui() {
  shutDown();
  window_.reset();
  DestroyWindow(asWindow(appWindow_));
  CloseHandle(wakeEvent_);
}

void Win32Gui::processWindowMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      terminate();
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

void Win32Gui::waitForMessages(std::chrono::milliseconds timeout) {
  const std::optional<std::chrono::milliseconds> limit = timeToWait(timeout);
  if (!limit) return;
  HANDLE wake = wakeEvent_;
  // MWMO_INPUTAVAILABLE: messages that a peek already saw but left queued also end the wait.
  MsgWaitForMultipleObjectsEx(1, &wake, static_cast<DWORD>(std::max<long long>(limit->count(), 0)),
                              QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

bool Win32Gui::onGuiThread() const {
  return GetCurrentThreadId() == guiThread_;
}

void Win32Gui::setTitle(std::string title) {
  QueuedApplication::setTitle(std::move(title));
  SetWindowTextA(asWindow(appWindow_), this->title().c_str());
}

namespace {
// "description|pattern|..." -> "description\0pattern\0...\0\0"
std::string dialogFilter(const std::string& filter) {
  std::string out = filter;
  std::replace(out.begin(), out.end(), '|', '\0');
  out.push_back('\0');
  out.push_back('\0');
  return out;
}
}  // namespace

bool Win32Gui::runOpenDialog(OpenDialog& dialog) {
  // Room for the longest path the dialog hands back; a longer initial name is cut.
  std::vector<char> file(32768, '\0');
  dialog.fileName.copy(file.data(), std::min(dialog.fileName.size(), file.size() - 1));
  const std::string filter = dialogFilter(dialog.filter);
  OPENFILENAMEA ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = window_ ? asWindow(window_->handle()) : asWindow(appWindow_);
  ofn.lpstrFilter = filter.c_str();
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = static_cast<DWORD>(file.size());
  ofn.lpstrInitialDir = dialog.initialDir.empty() ? nullptr : dialog.initialDir.c_str();
  ofn.lpstrTitle = dialog.title.empty() ? nullptr : dialog.title.c_str();
  ofn.lpstrDefExt = dialog.defaultExt.empty() ? nullptr : dialog.defaultExt.c_str();
  ofn.Flags = OFN_EXPLORER;
  if (dialog.options.hideReadOnly) ofn.Flags |= OFN_HIDEREADONLY;
  if (dialog.options.pathMustExist) ofn.Flags |= OFN_PATHMUSTEXIST;
  if (dialog.options.fileMustExist) ofn.Flags |= OFN_FILEMUSTEXIST;
  if (dialog.options.enableSizing) ofn.Flags |= OFN_ENABLESIZING;
  // A dialog that could not be shown (CommDlgExtendedError) counts as cancelled: no file.
  if (!GetOpenFileNameA(&ofn)) return false;
  dialog.fileName = file.data();
  return true;
}

void Win32Gui::messageBox(BoxKind kind, std::string_view text) {
  const std::string body(text);
  const char* boxTitle = kind == BoxKind::Error ? "Error" : title().c_str();
  const UINT icon = kind == BoxKind::Plain ? 0 : MB_ICONERROR;
  HWND owner = window_ && IsWindowVisible(asWindow(window_->handle())) ? asWindow(window_->handle())
                                                                       : asWindow(appWindow_);
  MessageBoxA(owner, body.c_str(), boxTitle, MB_OK | icon);
  activateMainForm();
}

Win32Window& Win32Gui::window() {
  if (!window_) window_ = std::make_unique<Win32Window>(*this, *mainForm());
  return *window_;
}

void* Win32Gui::mainWindowHandle() const {
  return window_ ? window_->handle() : nullptr;
}

void Win32Gui::show() {
  if (window_) {
    HWND main = asWindow(window_->handle());
    RECT frame, area;
    GetWindowRect(main, &frame);
    if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0)) {
      area = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    }
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    SetWindowPos(main, nullptr, area.left + (area.right - area.left - width) / 2,
                 area.top + (area.bottom - area.top - height) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(asWindow(appWindow_), SW_SHOWNOACTIVATE);
    ShowWindow(main, SW_SHOW);
    SetForegroundWindow(main);
    UpdateWindow(main);
  }
  activateMainForm();
}

void Win32Gui::run() {
  show();
  runMessageLoop(std::chrono::milliseconds(1000));
}

std::string Win32Gui::exePath() const {
  std::vector<char> path(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) return std::string(path.data(), n);
    if (path.size() >= 32768) return {};  // no longer path exists
    path.resize(path.size() * 2);
  }
}

std::uint32_t Win32Gui::resolveColor(Color color) const {
  if (isSystemColor(color)) return pixelOfColorref(GetSysColor(static_cast<int>(color & 0xFF)));
  return pixelOf(color);
}

const TextPainter& Win32Gui::controlFont() const {
  return *font_;
}

bool Win32Gui::loadPicture(const std::string& name, std::uint32_t background, Bitmap& into) const {
  if (name.empty()) return false;
  auto* module = static_cast<HINSTANCE>(instance_);
  HRSRC found = FindResourceA(module, name.c_str(), reinterpret_cast<LPCSTR>(RT_BITMAP));
  if (found == nullptr) return false;
  HGLOBAL loaded = LoadResource(module, found);
  const auto* data = static_cast<const std::uint8_t*>(loaded ? LockResource(loaded) : nullptr);
  const DWORD size = SizeofResource(module, found);
  if (data == nullptr || size < sizeof(BITMAPINFOHEADER)) return false;
  BITMAPINFOHEADER header;
  std::memcpy(&header, data, sizeof header);
  const int width = header.biWidth, height = std::abs(header.biHeight);
  const int bits = header.biBitCount;
  const bool plain =
      header.biCompression == BI_RGB || (header.biCompression == BI_BITFIELDS && bits == 32);
  if (header.biSize < sizeof header || width <= 0 || width > kMaxPictureSide || height <= 0 ||
      height > kMaxPictureSide || (bits != 24 && bits != 32) || !plain) {
    return false;
  }
  std::size_t offset = header.biSize + std::size_t{header.biClrUsed} * 4;
  if (header.biCompression == BI_BITFIELDS && header.biSize == sizeof header) offset += 12;
  const std::size_t stride = ((static_cast<std::size_t>(width) * bits + 31) / 32) * 4;
  if (offset + stride * static_cast<std::size_t>(height) > size) return false;
  const std::uint8_t* pixels = data + offset;
  // A 32-bit picture whose alpha bytes are all zero carries no alpha: it is opaque.
  bool hasAlpha = false;
  for (int y = 0; bits == 32 && y < height && !hasAlpha; ++y) {
    for (int x = 0; x < width; ++x) {
      if (pixels[y * stride + static_cast<std::size_t>(x) * 4 + 3] != 0) {
        hasAlpha = true;
        break;
      }
    }
  }
  into.resize(width, height);
  const int bytes = bits / 8;
  for (int y = 0; y < height; ++y) {
    const int row = header.biHeight > 0 ? height - 1 - y : y;  // positive height: bottom-up
    const std::uint8_t* p = pixels + static_cast<std::size_t>(row) * stride;
    for (int x = 0; x < width; ++x, p += bytes) {
      const unsigned alpha = hasAlpha ? p[3] : 255;
      auto channel = [&](unsigned value, int shift) {
        const unsigned under = (background >> shift) & 0xFF;
        return ((value * alpha + under * (255 - alpha) + 127) / 255) << shift;
      };
      into.setPixel(x, y, channel(p[2], 16) | channel(p[1], 8) | channel(p[0], 0));
    }
  }
  return true;
}

}  // namespace forms
