// The main window of the Win32 backend and its window procedure.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <cctype>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "platform/forms/GdiTextPainter.h"
#include "platform/forms/Win32.h"
#include "platform/forms/Win32Internal.h"
#include "platform/forms/Win32Views.h"

namespace nuv::forms {

using win32::asWindow;
using win32::ButtonView;
using win32::ChildView;
using win32::fatal;
using win32::greyed;
using win32::ImageView;
using win32::kButtonClass;
using win32::kGaugeClass;
using win32::kImageClass;
using win32::kMainFormClass;
using win32::kPanelClass;
using win32::kStatusBarClass;
using win32::PanelView;
using win32::place;
using win32::repaintNow;
using win32::StatusBarView;

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

namespace win32 {

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

}  // namespace win32

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

}  // namespace nuv::forms
