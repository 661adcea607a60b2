// What the files of the Win32 backend share (win32.cpp, Win32Window.cpp, Win32Views.cpp,
// GdiTextPainter.cpp, Win32Bitmap.cpp): the window classes, the main form's window procedure that
// the application registers, and the end of a program that cannot show anything. Not part of
// the seam's contract.
#pragma once

#include <windows.h>

namespace nuv::forms::win32 {

// The window classes, named as the class library names its windows.
inline constexpr char kApplicationClass[] = "TApplication";
inline constexpr char kMainFormClass[] = "TMainForm";
inline constexpr char kPanelClass[] = "TPanel";
inline constexpr char kImageClass[] = "TImage";
inline constexpr char kButtonClass[] = "TSpeedButton";
inline constexpr char kGaugeClass[] = "TGauge";
inline constexpr char kStatusBarClass[] = "TStatusBar";

// Shows a box naming the call that failed and its error, and ends the program: used where
// nothing could be shown without that call.
[[noreturn]] void fatal(const char* call);

inline HWND asWindow(void* handle) {
  return static_cast<HWND>(handle);
}

// The window procedure of the main form (Win32Window.cpp). Its creation parameter is the
// window's Win32Window::Impl.
LRESULT CALLBACK mainFormProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace nuv::forms::win32
