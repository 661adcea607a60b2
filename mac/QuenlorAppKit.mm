#include "mac/QuenlorAppKit.h"

#import <AppKit/AppKit.h>

#include <memory>
#include <utility>

#include "mac/AppDelegate.h"
#include "platform/cocoa/AppKitCompat.h"

// The application delegate of AppKit. The launch itself (the controller made with the
// interface file "HIDViewController", its view put into the main window, the title) is the
// macOS program's AppDelegate; this object gives it the AppKit application and keeps the
// view controller that AppKit built.
@interface AppDelegate : NSObject <NSApplicationDelegate> {
  NSViewController* viewCtrl;
  NSWindow* _window;  // plain assignment, not retained
  std::unique_ptr<nuv::cocoa::AppKitApplication> application_;
  std::unique_ptr<nuv::mac::AppDelegate> launcher_;
 @public
  // Set right after init (a method argument could not carry it, see AppKitCompat.h).
  std::unique_ptr<nuv::mac::QuenlorAppKitOptions> options_;
}
- (NSWindow*)window;
- (void)setWindow:(NSWindow*)window;
@end

namespace {

// A minimal main menu: the application's name and Quit (Command-Q on a Mac).
void installMainMenu() {
  NSMenu* menu = [[NSMenu alloc] initWithTitle:@"QuenlorHID"];
  NSMenuItem* appItem = [[NSMenuItem alloc] initWithTitle:@"QuenlorHID"
                                                   action:NULL
                                            keyEquivalent:@""];
  NSMenu* appMenu = [[NSMenu alloc] initWithTitle:@"QuenlorHID"];
  NSMenuItem* quit = [[NSMenuItem alloc] initWithTitle:@"Quit QuenlorHID"
                                                action:@selector(terminate:)
                                         keyEquivalent:@"q"];
  [appMenu addItem:quit];
  [appItem setSubmenu:appMenu];
  [menu addItem:appItem];
  [NSApp setMainMenu:menu];
  [quit release];
  [appMenu release];
  [appItem release];
  [menu release];
}

}  // namespace

@implementation AppDelegate
// The teardown of the macOS program: the controller first (it stops writing, closes the
// device and the manager), then the view controller and the window.
- (void)dealloc {
  launcher_.reset();
  [viewCtrl release];
  viewCtrl = nil;
  application_.reset();
  [super dealloc];
}

- (void)applicationWillFinishLaunching:(NSNotification*)notification {
  (void)notification;
  installMainMenu();
}

- (void)applicationDidFinishLaunching:(NSNotification*)notification {
  (void)notification;
  application_ = std::make_unique<nuv::cocoa::AppKitApplication>();
  _window = application_->nativeWindow();
  if (options_->didLaunch) options_->didLaunch(*application_);
  launcher_ = std::make_unique<nuv::mac::AppDelegate>(*application_, options_->createManager);
  launcher_->applicationDidFinishLaunching();
  viewCtrl = [application_->nativeViewController() retain];
  [_window makeKeyAndOrderFront:nil];
}

- (void)applicationWillTerminate:(NSNotification*)notification {
  (void)notification;
  launcher_->applicationWillTerminate();
  if (options_->willTerminate) options_->willTerminate();
}

// One window, one purpose: closing it ends the program.
- (BOOL)applicationShouldTerminateAfterLastWindowClosed:(NUV_APPLICATION_SENDER)sender {
  (void)sender;
  return YES;
}

- (NSWindow*)window {
  return _window;
}
- (void)setWindow:(NSWindow*)window {
  _window = window;
}
@end

namespace {

// Outside namespace nuv::mac, where AppDelegate names the Objective-C class.
int runApplication(int argc, char** argv, const nuv::mac::QuenlorAppKitOptions& options) {
  NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
  [NSApplication sharedApplication];
  AppDelegate* delegate = [[AppDelegate alloc] init];
  delegate->options_ = std::make_unique<nuv::mac::QuenlorAppKitOptions>(options);
  // NSApp does not retain its delegate; this frame keeps it for the whole run.
  [NSApp setDelegate:delegate];
  const int result = NSApplicationMain(argc, const_cast<const char**>(argv));
  [NSApp setDelegate:nil];
  [delegate release];
  [pool release];
  return result;
}

}  // namespace

namespace nuv::mac {

int runQuenlorAppKit(int argc, char** argv, QuenlorAppKitOptions options) {
  return runApplication(argc, argv, options);
}

}  // namespace nuv::mac
