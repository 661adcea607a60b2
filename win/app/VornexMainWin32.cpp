// Vornex for Windows: the program entry. It reads no command line, environment or configuration
// file of its own; it finds the update device through setupapi.dll and hid.dll, bound at run
// time.
#include <windows.h>

#include <memory>

#include "platform/forms/Win32.h"
#include "platform/winapi/Win32.h"
#include "win/app/Unit1.h"

namespace {

// The panel with the banner, the three buttons and the gauge, and the status bar below it.
void buildWindow(nuv::forms::Win32Gui& app, TMainForm& form) {
  nuv::forms::Win32Window& window = app.window();
  window.addPanel(form.Panel1);
  window.addPicture(form.Image1, &form.Panel1);
  window.addButton(form.Write_car, &form.Panel1);
  window.addButton(form.stop_button, &form.Panel1);
  window.addButton(form.READ_car, &form.Panel1);
  window.addImageControl(form.Gauge1, form.Gauge1.Image(), &form.Panel1);
  window.addStatusBar(form.StatusBar1);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  nuv::forms::Win32Gui app(instance);
  app.setTitle(std::string(kApplicationTitle));
  std::unique_ptr<nuv::winapi::Api> api = nuv::winapi::makeWindowsApi();
  nuv::hid::HidProcess process(*api, app);
  std::unique_ptr<TMainForm> form;
  try {
    form = std::make_unique<TMainForm>(app, process);
  } catch (const nuv::hid::EControllerError& e) {
    app.messageBox(nuv::forms::BoxKind::Exception, e.what());
    return 1;
  }
  app.setMainForm(*form);
  buildWindow(app, *form);
  app.run();
  // The form goes first: its destruction still updates controls that the window shows.
  form.reset();
  app.shutDown();
  return 0;
}
