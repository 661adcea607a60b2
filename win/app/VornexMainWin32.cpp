// Vornex for Windows: the program entry. It reads no command line, environment or configuration
// file of its own; it finds the update device through setupapi.dll and hid.dll, bound at run
// time.
#include <windows.h>

#include <memory>

#include "platform/forms/Win32.h"
#include "platform/winapi/Win32.h"
#include "win/app/VornexProgram.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  nuv::forms::Win32Gui app(instance);
  std::unique_ptr<nuv::winapi::Api> api = nuv::winapi::makeWindowsApi();
  return runVornexProgram(app, *api,
                          [&app](TMainForm& form) { addVornexControls(app.window(), form); });
}
