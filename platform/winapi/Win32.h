// The win32 backend of the Windows services seam (win32.cpp, Win32 builds only): kernel32, hid.dll
// and setupapi.dll themselves. Named Win32.h rather than Windows.h: where file names ignore case
// (Windows, macOS), a Windows.h in this folder would be found for the system's <windows.h> by
// every file that has the folder on its include path.
#pragma once

#include <memory>

#include "platform/winapi/WinApi.h"

namespace nuv::winapi {

// WM_DEVICECHANGE reaches the main window from the system.
[[nodiscard]] std::unique_ptr<Api> makeWindowsApi();

}  // namespace nuv::winapi
