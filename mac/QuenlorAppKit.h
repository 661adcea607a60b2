// QuenlorHID on AppKit (Apple's, or GNUstep's here), shared by its AppKit mains
// (QuenlorMainAppKitMac.mm, QuenlorMainAppKitGnustep.mm): NSApplicationMain with the
// application delegate, which launches the macOS program's controller in the main window.
// Objective-C++ only.
#pragma once

#include <functional>

#include "mac/HIDViewController.h"
#include "platform/cocoa/AppKit.h"

namespace nuv::mac {

struct QuenlorAppKitOptions {
  IOHIDManagerFactory createManager;
  // Test drivers only: called right after launch, and as the application terminates.
  std::function<void(cocoa::AppKitApplication&)> didLaunch;
  std::function<void()> willTerminate;
};

// Runs NSApplicationMain with `argc` and `argv` (AppKit reads its own defaults from them) and
// returns its result where AppKit returns at all: Apple's terminate: exits the process.
// Call on the main thread, once.
int runQuenlorAppKit(int argc, char** argv, QuenlorAppKitOptions options);

}  // namespace nuv::mac
