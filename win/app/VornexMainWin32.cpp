// Vornex for Windows: the program entry. It reads no command line, environment or configuration
// file of its own; it finds the update device through setupapi.dll and hid.dll, bound at run
// time.
#include <windows.h>

#include <memory>

#include "Unit1.h"
#include "forms/Win32.h"
#include "winapi/Win32.h"

namespace {

// The panel with the banner, the three buttons and the gauge, and the status bar below it.
void buildWindow(forms::Win32Gui& app, TMainForm& form) {
  forms::Win32Window& window = app.window();
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
  forms::Win32Gui app(instance);
  app.setTitle(std::string(kApplicationTitle));
  std::unique_ptr<winapi::Api> api = winapi::makeWindowsApi();
  hid::HidProcess process(*api, app);
  std::unique_ptr<TMainForm> form;
  try {
    form = std::make_unique<TMainForm>(app, process);
  } catch (const hid::EControllerError& e) {
    app.messageBox(forms::BoxKind::Exception, e.what());
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
