#include "mac/AppDelegate.h"

#include <string>

#include "platform/cocoa/Nib.h"

namespace nuv::mac {

AppDelegate::AppDelegate(cocoa::Application& application, IOHIDManagerFactory createManager)
    : application_(application),
      createManager_(std::move(createManager)),
      _window(&application.mainWindow()) {}

AppDelegate::~AppDelegate() {
  viewCtrl.reset();
}

void AppDelegate::applicationDidFinishLaunching() {
  viewCtrl = std::make_unique<HIDViewController>(std::string(cocoa::nib::kHIDViewControllerNib),
                                                 application_, createManager_);
  if (_window == nullptr) return;
  if (cocoa::View* view = viewCtrl->view()) _window->setContentView(*view);
  _window->setTitle(std::string(kMakerWebAddress) + " " + std::string(kVersionText));
}

}  // namespace nuv::mac
