// The AppKit backend of the Cocoa seam: QuenlorHID's window on Apple's AppKit, and on GNUstep
// where this machine verifies it. Objective-C++ only; manual retain and release (no ARC), so
// that the same source builds with Apple's compiler and with GCC.
//
// The run loop is the main thread's NSRunLoop: delayed calls are
// performSelector:withObject:afterDelay:, timers are NSTimers, sources are messages performed
// on the main thread, and readable descriptors are watched by the run loop itself. All of them
// are scheduled in the default mode only, so nothing is delivered while NSAlert or NSOpenPanel
// runs its modal session (the seam's modal rule comes from AppKit itself).
//
// The view "HIDViewController" is built by an NSViewController subclass of that name whose
// loadView makes the status field, the three buttons (wired to download:, stop: and
// retrieveVersion:) and the progress bar; the controller of the macOS program reaches them
// through the seam's outlets.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/cocoa/Cocoa.h"

#ifdef __OBJC__
@class NSWindow;
@class NSViewController;
#else
using NSWindow = struct objc_object;
using NSViewController = struct objc_object;
#endif

namespace nuv::cocoa {

class AppKitApplication final : public Application {
 public:
  // Sees every text the status field of "HIDViewController" is given; for test drivers.
  using StatusObserver = std::function<void(const std::string&)>;

  // Call on the main thread after NSApp exists (inside applicationDidFinishLaunching: or
  // later). Makes the main window, not yet shown.
  AppKitApplication();
  // Releases the window, the view controller and the controls it holds.
  ~AppKitApplication() override;
  AppKitApplication(const AppKitApplication&) = delete;
  AppKitApplication& operator=(const AppKitApplication&) = delete;

  [[nodiscard]] RunLoop& runLoop() override;
  [[nodiscard]] Window& mainWindow() override;
  [[nodiscard]] std::optional<ViewOutlets> loadNib(std::string_view nibName) override;
  [[nodiscard]] std::unique_ptr<TextField> makeTextField(Rect frame) override;
  int runModalAlert(const Alert& alert) override;
  [[nodiscard]] OpenPanelResult runModalOpenPanel() override;

  // The main window (owned here) and the view controller of "HIDViewController" (null until
  // loaded; owned here). Not retained for the caller.
  [[nodiscard]] NSWindow* nativeWindow() const;
  [[nodiscard]] NSViewController* nativeViewController() const;

  void setStatusObserver(StatusObserver observer);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace nuv::cocoa
