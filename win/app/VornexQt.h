// The Qt window of Vornex and the program body shared by its two Qt mains (VornexMainQtLinux.cpp
// on hidraw, VornexMainQtSim.cpp on the emulated device).
#pragma once

#include "platform/forms/Qt.h"
#include "win/app/Unit1.h"

// Shows `form` in a window of `app`: the panel with the banner, the three buttons and the
// gauge, and the status bar below it. The art comes from the program's resources.
void buildVornexWindow(nuv::forms::QtGui& app, TMainForm& form);

// The program entry after the application object exists: the title, the main window (whose
// creation runs FormCreate), the message loop until the window closed. Returns the exit code;
// a controller that cannot be made is reported in a box.
int runVornex(nuv::forms::QtGui& app, nuv::winapi::Api& api);
