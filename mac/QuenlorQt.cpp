#include "mac/QuenlorQt.h"

#include "mac/AppDelegate.h"
#include "platform/cocoa/Qt.h"

namespace nuv::mac {

int runQuenlorQt(const char* appName, const IOHIDManagerFactory& createManager) {
  cocoa::QtApplication application(appName);
  int result = 0;
  {
    AppDelegate delegate(application, createManager);
    delegate.applicationDidFinishLaunching();
    result = application.exec();
    delegate.applicationWillTerminate();
  }
  return result;
}

}  // namespace nuv::mac
