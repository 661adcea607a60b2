// vornex_probe: looks at and drives the Vornex window from another process, as a user would,
// through the window messages any Windows program may send. Test-only.
//
//   vornex_probe STEP [ARGS]... [STEP [ARGS]...]...
//
// Steps run in order; the first that fails prints why and ends the program with status 1.
//   wait-window MS              the main window (class TMainForm) is shown within MS
//   caption-ends TEXT           its caption ends with TEXT
//   title TEXT                  the application window (the task-bar text) reads TEXT
//   client W H                  its client area is W x H
//   status TEXT MS              the status line reads TEXT within MS
//   enabled CAPTION 0|1 MS      the button captioned CAPTION is disabled (0) or enabled (1)
//                               within MS
//   shown CLASS 0|1 MS          the child window of class CLASS is hidden (0) or shown (1)
//                               within MS
//   click CAPTION               clicks the button (posted: the probe does not wait for it)
//   box TITLE TEXT MS           a message box titled TITLE shows TEXT within MS; it is closed
//   open-dialog PATH MS         the open-file dialog appears within MS; PATH is chosen
//   device-change               broadcasts WM_DEVICECHANGE / DBT_DEVNODES_CHANGED
//   close                       asks the main window to close
//   gone MS                     the main window is gone (or hidden) within MS
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr UINT kDbtDevNodesChanged = 0x0007;
constexpr int kFileNameCombo = 0x47C;  // cmb13 of the explorer-style open dialog
constexpr int kFileNameEdit = 0x480;   // edt1 of the old-style one

std::string textOf(HWND hwnd) {
  char buffer[1024] = {};
  SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer),
                      SMTO_ABORTIFHUNG, 2000, nullptr);
  return buffer;
}

std::string classOf(HWND hwnd) {
  char buffer[256] = {};
  GetClassNameA(hwnd, buffer, sizeof buffer);
  return buffer;
}

HWND mainWindow() {
  HWND hwnd = FindWindowA("TMainForm", nullptr);
  return hwnd != nullptr && IsWindowVisible(hwnd) ? hwnd : nullptr;
}

struct ChildSearch {
  std::string windowClass;
  std::string text;  // empty: any
  HWND found = nullptr;
};

BOOL CALLBACK findChild(HWND hwnd, LPARAM param) {
  auto* search = reinterpret_cast<ChildSearch*>(param);
  if (classOf(hwnd) == search->windowClass &&
      (search->text.empty() || textOf(hwnd) == search->text)) {
    search->found = hwnd;
    return FALSE;
  }
  return TRUE;
}

HWND child(HWND parent, const std::string& windowClass, const std::string& text = "") {
  ChildSearch search{windowClass, text};
  if (parent != nullptr) EnumChildWindows(parent, findChild, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// A visible top-level dialog of another process titled `title`.
struct DialogSearch {
  std::string title;
  HWND found = nullptr;
};
BOOL CALLBACK findDialog(HWND hwnd, LPARAM param) {
  auto* search = reinterpret_cast<DialogSearch*>(param);
  if (IsWindowVisible(hwnd) && classOf(hwnd) == "#32770" && textOf(hwnd) == search->title) {
    search->found = hwnd;
    return FALSE;
  }
  return TRUE;
}
HWND dialog(const std::string& title) {
  DialogSearch search{title};
  EnumWindows(findDialog, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// The longest static text of a message box: its message.
BOOL CALLBACK collectText(HWND hwnd, LPARAM param) {
  auto* longest = reinterpret_cast<std::string*>(param);
  if (classOf(hwnd) == "Static") {
    const std::string text = textOf(hwnd);
    if (text.size() > longest->size()) *longest = text;
  }
  return TRUE;
}

[[noreturn]] void fail(const std::string& why) {
  std::printf("vornex_probe: FAIL %s\n", why.c_str());
  std::fflush(stdout);
  std::exit(1);
}

// Polls `check` until it holds or `ms` passed.
template <class Check>
bool within(long ms, Check check) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (check()) return true;
    if (static_cast<long>(GetTickCount() - start) > ms) return false;
    Sleep(50);
  }
}

class Steps {
 public:
  Steps(int argc, char** argv) : args_(argv + 1, argv + argc) {}

  void run() {
    while (next_ < args_.size()) {
      const std::string step = take();
      if (step == "wait-window") {
        const long ms = number();
        if (!within(ms, [] { return mainWindow() != nullptr; })) fail("no main window shown");
      } else if (step == "caption-ends") {
        const std::string suffix = take(), caption = textOf(need());
        if (caption.size() < suffix.size() ||
            caption.compare(caption.size() - suffix.size(), suffix.size(), suffix) != 0) {
          fail("caption \"" + caption + "\" does not end with \"" + suffix + "\"");
        }
      } else if (step == "title") {
        const std::string want = take();
        HWND app = GetWindow(need(), GW_OWNER);
        if (app == nullptr || textOf(app) != want) {
          fail("application title is \"" + (app ? textOf(app) : std::string()) + "\"");
        }
      } else if (step == "client") {
        const long w = number(), h = number();
        RECT r{};
        GetClientRect(need(), &r);
        if (r.right != w || r.bottom != h) {
          fail("client area " + std::to_string(r.right) + "x" + std::to_string(r.bottom));
        }
      } else if (step == "status") {
        const std::string want = take();
        const long ms = number();
        std::string seen;
        if (!within(ms, [&] { return (seen = textOf(child(need(), "TStatusBar"))) == want; })) {
          fail("status line reads \"" + seen + "\", not \"" + want + "\"");
        }
      } else if (step == "enabled") {
        const std::string caption = take();
        const bool want = number() != 0;
        const long ms = number();
        if (!within(ms, [&] { return (IsWindowEnabled(button(caption)) != FALSE) == want; })) {
          fail("button " + caption + (want ? " is not enabled" : " is not disabled"));
        }
      } else if (step == "shown") {
        const std::string windowClass = take();
        const bool want = number() != 0;
        const long ms = number();
        if (!within(ms, [&] {
              HWND control = child(need(), windowClass);
              return control != nullptr && (IsWindowVisible(control) != FALSE) == want;
            })) {
          fail(windowClass + (want ? " is not shown" : " is not hidden"));
        }
      } else if (step == "click") {
        PostMessageA(button(take()), BM_CLICK, 0, 0);
      } else if (step == "box") {
        const std::string title = take(), text = take();
        const long ms = number();
        HWND box = nullptr;
        if (!within(ms, [&] { return (box = dialog(title)) != nullptr; })) {
          fail("no box titled \"" + title + "\"");
        }
        std::string shown;
        EnumChildWindows(box, collectText, reinterpret_cast<LPARAM>(&shown));
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        if (shown != text) fail("box shows \"" + shown + "\", not \"" + text + "\"");
      } else if (step == "open-dialog") {
        const std::string path = take();
        const long ms = number();
        HWND box = nullptr;
        if (!within(ms, [&] { return (box = dialog("Open updata File")) != nullptr; })) {
          fail("no open-file dialog");
        }
        HWND name = GetDlgItem(box, kFileNameCombo);
        if (name == nullptr) name = GetDlgItem(box, kFileNameEdit);
        if (name == nullptr) fail("the open-file dialog has no file-name field");
        SendMessageA(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
        PostMessageA(box, WM_COMMAND, IDOK, 0);
      } else if (step == "device-change") {
        DWORD_PTR result = 0;
        SendMessageTimeoutA(HWND_BROADCAST, WM_DEVICECHANGE, kDbtDevNodesChanged, 0,
                            SMTO_ABORTIFHUNG, 2000, &result);
      } else if (step == "close") {
        PostMessageA(need(), WM_CLOSE, 0, 0);
      } else if (step == "gone") {
        if (!within(number(), [] { return mainWindow() == nullptr; })) fail("window still shown");
      } else {
        fail("unknown step " + step);
      }
      std::printf("vornex_probe: ok %s\n", step.c_str());
      std::fflush(stdout);
    }
  }

 private:
  std::string take() {
    if (next_ >= args_.size()) fail("a step lacks its arguments");
    return args_[next_++];
  }
  long number() { return std::strtol(take().c_str(), nullptr, 10); }
  HWND need() {
    HWND hwnd = mainWindow();
    if (hwnd == nullptr) fail("the main window is not shown");
    return hwnd;
  }
  HWND button(const std::string& caption) {
    HWND hwnd = child(need(), "TSpeedButton", caption);
    if (hwnd == nullptr) fail("no button " + caption);
    return hwnd;
  }

  std::vector<std::string> args_;
  std::size_t next_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  Steps(argc, argv).run();
  return 0;
}
