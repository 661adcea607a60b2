// The application delegate: creates the one view controller at launch, puts its view into the
// main window and titles the window.
#pragma once

#include <memory>
#include <string_view>

#include "mac/HIDViewController.h"
#include "platform/cocoa/Cocoa.h"
#include "protocol/UpdateImage.h"

#ifndef NUV_MAKER_WEB_ADDRESS
#define NUV_MAKER_WEB_ADDRESS "www.example.com"
#endif

namespace nuv::mac {

// The maker's web address of the window title; a constant of the build.
inline constexpr std::string_view kMakerWebAddress = NUV_MAKER_WEB_ADDRESS;
inline constexpr std::string_view kVersionText = image::kProgramVersion;

class AppDelegate {
 public:
  // The application and the factory must outlive the delegate.
  AppDelegate(cocoa::Application& application, IOHIDManagerFactory createManager);
  // Releases the view controller (which closes the device and the manager).
  ~AppDelegate();
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  void applicationDidFinishLaunching();
  void applicationWillTerminate() {}

  [[nodiscard]] cocoa::Window* window() const { return _window; }
  void setWindow(cocoa::Window* window) { _window = window; }
  // The controller, once launched.
  [[nodiscard]] HIDViewController* viewController() const { return viewCtrl.get(); }

 private:
  cocoa::Application& application_;
  IOHIDManagerFactory createManager_;
  std::unique_ptr<HIDViewController> viewCtrl;
  cocoa::Window* _window = nullptr;
};

}  // namespace nuv::mac
