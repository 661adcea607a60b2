// What every Vornex program does once its application object exists, whichever toolkit draws
// its window (the Qt mains through VornexQt.h, the Win32 main directly).
#pragma once

#include <functional>

#include "platform/forms/QueuedApplication.h"
#include "platform/winapi/WinApi.h"
#include "win/app/Unit1.h"

// Adds the form's controls to a backend's window (QtWindow, Win32Window), in the window's
// order: the panel with the banner, the three buttons and the gauge, and the status bar below.
template <class Window>
void addVornexControls(Window& window, TMainForm& form) {
  window.addPanel(form.Panel1);
  window.addPicture(form.Image1, &form.Panel1);
  window.addButton(form.Write_car, &form.Panel1);
  window.addButton(form.stop_button, &form.Panel1);
  window.addButton(form.READ_car, &form.Panel1);
  window.addImageControl(form.Gauge1, form.Gauge1.Image(), &form.Panel1);
  window.addStatusBar(form.StatusBar1);
}

// The title, the main form (whose creation runs FormCreate), `showForm` to put it in the
// backend's window, and the message loop until the window is closed. The form is destroyed
// before the application shuts down: its destruction still updates controls the window shows.
// Returns the exit code: 0, or 1 when the HID controller cannot be made (reported in a box).
[[nodiscard]] int runVornexProgram(nuv::forms::QueuedApplication& app, nuv::winapi::Api& api,
                                   const std::function<void(TMainForm&)>& showForm);
