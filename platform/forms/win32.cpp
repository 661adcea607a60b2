// The application object of the Win32 backend: its window, message loop, dialogs and boxes.
#include <windows.h>
// After windows.h, which they need.
#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/forms/GdiTextPainter.h"
#include "platform/forms/Win32.h"
#include "platform/forms/Win32Internal.h"
#include "platform/forms/Win32Views.h"

namespace nuv::forms {

namespace win32 {

[[noreturn]] void fatal(const char* call) {
  char text[160];
  std::snprintf(text, sizeof text, "%s failed, error %lu", call, GetLastError());
  MessageBoxA(nullptr, text, "Error", MB_OK | MB_ICONERROR);
  std::abort();
}

}  // namespace win32

using win32::asWindow;
using win32::childProc;
using win32::fatal;
using win32::kApplicationClass;
using win32::kButtonClass;
using win32::kGaugeClass;
using win32::kImageClass;
using win32::kMainFormClass;
using win32::kPanelClass;
using win32::kStatusBarClass;
using win32::mainFormProc;

namespace {

std::uint32_t pixelOfColorref(COLORREF c) {
  return pixelOf(static_cast<Color>(c));
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

}  // namespace nuv::forms
