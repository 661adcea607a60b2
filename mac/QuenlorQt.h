// QuenlorHID in the Qt window, shared by its Qt mains (QuenlorMainQtLinux.cpp,
// QuenlorMainQtSim.cpp): the Qt application, the delegate, the event loop.
#pragma once

#include "mac/HIDViewController.h"

namespace nuv::mac {

// Runs the application until its window is closed and returns its exit code. The command
// line is not read; `appName` names the program to the toolkit only.
int runQuenlorQt(const char* appName, const IOHIDManagerFactory& createManager);

}  // namespace nuv::mac
