#include "platform/cocoa/AppKit.h"

#import <AppKit/AppKit.h>

#include <atomic>
#include <cmath>
#include <deque>
#include <mutex>

#include "platform/cocoa/AppKitCompat.h"
#include "platform/cocoa/Nib.h"

#if !defined(GNUSTEP)
#include <CoreFoundation/CoreFoundation.h>
#endif

namespace {

NSString* toNSString(std::string_view text) {
  NSString* s = [[NSString alloc] initWithBytes:text.data()
                                         length:text.size()
                                       encoding:NSUTF8StringEncoding];
  return [s autorelease];
}

std::string toStdString(NSString* text) {
  const char* utf8 = [text UTF8String];
  return utf8 != NULL ? std::string(utf8) : std::string();
}

NSRect toNSRect(nuv::cocoa::Rect r) {
  return NSMakeRect(r.x, r.y, r.width, r.height);
}

NSArray* defaultModeOnly() {
  return [NSArray arrayWithObject:NSDefaultRunLoopMode];
}

}  // namespace

// ---- Objective-C helpers ----------------------------------------------------------------------

// GCC cannot write the type encoding of an instance variable whose type holds a
// std::function (by value or through a plain pointer); behind a unique_ptr it can. C++ state of
// the Objective-C objects below therefore sits in unique_ptrs, constructed and destroyed with
// the object (-fobjc-call-cxx-cdtors on GCC, the default of Apple's compiler).

// A seam task as a message target: delayed calls, timers and sources run it.
#if defined(GNUSTEP)
@interface NUVTask : NSObject <RunLoopEvents> {
#else
@interface NUVTask : NSObject {
#endif
 @public
  std::unique_ptr<nuv::cocoa::Task> task_;
  std::atomic<bool> pending_;  // a source's signal is on its way
  BOOL alive_;
}
- (void)perform;
- (void)run:(id)unused;
- (void)runSource:(id)unused;
@end

@implementation NUVTask
// A task may remove its own source, timer or watch while it runs (which releases this
// object): the object, and with it the running function, stays alive until the run ends.
- (void)perform {
  [self retain];
  if (alive_ && *task_) (*task_)();
  [self release];
}
- (void)run:(id)unused {
  (void)unused;
  [self perform];
}
- (void)runSource:(id)unused {
  (void)unused;
  pending_.store(false);
  [self perform];
}
#if defined(GNUSTEP)
// The GNUstep run loop's descriptor watcher: called whenever the descriptor is readable.
- (void)receivedEvent:(void*)data
                 type:(RunLoopEventType)type
                extra:(void*)extra
              forMode:(NSString*)mode {
  (void)data, (void)type, (void)extra, (void)mode;
  [self perform];
}
#endif
@end

namespace {

// Method arguments are type-encoded as instance variables are, so the task goes in here.
NUVTask* newTask(nuv::cocoa::Task task) {
  NUVTask* box = [[NUVTask alloc] init];
  box->task_ = std::make_unique<nuv::cocoa::Task>(std::move(task));
  box->pending_.store(false);
  box->alive_ = YES;
  return box;
}

}  // namespace

// The content view: its origin is at the top left, as the interface file's frames are.
@interface NUVFlippedView : NSView
@end
@implementation NUVFlippedView
- (BOOL)isFlipped {
  return YES;
}
@end

// The view controller of the interface file "HIDViewController": its view and outlets, and
// the three actions the buttons send. The actions run what the macOS program's controller set
// on the buttons through the seam.
@interface HIDViewController : NSViewController {
 @public
  NSTextField* statusTextField;
  NSProgressIndicator* progressIndicator;
  NSButton* downloadButton;
  NSButton* stopButton;
  NSButton* versionButton;
  std::unique_ptr<nuv::cocoa::Task> downloadAction_;
  std::unique_ptr<nuv::cocoa::Task> stopAction_;
  std::unique_ptr<nuv::cocoa::Task> versionAction_;
}
- (void)download:(id)sender;
- (void)stop:(id)sender;
- (void)retrieveVersion:(id)sender;
@end

namespace {

NSButton* makeButton(std::string_view title, nuv::cocoa::Rect frame, id target, SEL action) {
  NSButton* button = [[NSButton alloc] initWithFrame:toNSRect(frame)];
  [button setTitle:toNSString(title)];
  [button setButtonType:NUV_BUTTON_TYPE_MOMENTARY_PUSH_IN];
  [button setBezelStyle:NUV_BEZEL_STYLE_ROUNDED];
  [button setTarget:target];
  [button setAction:action];
  return button;
}

}  // namespace

@implementation HIDViewController
- (void)loadView {
  namespace nib = nuv::cocoa::nib;
  downloadAction_ = std::make_unique<nuv::cocoa::Task>();
  stopAction_ = std::make_unique<nuv::cocoa::Task>();
  versionAction_ = std::make_unique<nuv::cocoa::Task>();
  NSView* view = [[NUVFlippedView alloc] initWithFrame:toNSRect(nib::kViewFrame)];

  statusTextField = [[NSTextField alloc] initWithFrame:toNSRect(nib::kStatusTextFieldFrame)];
  [statusTextField setStringValue:toNSString(nib::kStatusPlaceholder)];
  [statusTextField setEditable:NO];
  [statusTextField setSelectable:NO];
  [statusTextField setBezeled:YES];
  [statusTextField setDrawsBackground:YES];
  [view addSubview:statusTextField];

  progressIndicator =
      [[NSProgressIndicator alloc] initWithFrame:toNSRect(nib::kProgressIndicatorFrame)];
  [progressIndicator setStyle:NUV_PROGRESS_STYLE_BAR];
  [progressIndicator setIndeterminate:NO];
  [view addSubview:progressIndicator];

  downloadButton =
      makeButton(nib::kDownloadTitle, nib::kDownloadButtonFrame, self, @selector(download:));
  stopButton = makeButton(nib::kStopTitle, nib::kStopButtonFrame, self, @selector(stop:));
  versionButton =
      makeButton(nib::kVersionTitle, nib::kVersionButtonFrame, self, @selector(retrieveVersion:));
  [view addSubview:downloadButton];
  [view addSubview:stopButton];
  [view addSubview:versionButton];

  [self setView:view];
  [view release];
}

- (void)dealloc {
  [statusTextField release];
  [progressIndicator release];
  [downloadButton release];
  [stopButton release];
  [versionButton release];
  [super dealloc];
}

// AppKit sends nothing from a disabled button, so these need no check of their own.
- (void)download:(id)sender {
  (void)sender;
  if (downloadAction_ && *downloadAction_) (*downloadAction_)();
}
- (void)stop:(id)sender {
  (void)sender;
  if (stopAction_ && *stopAction_) (*stopAction_)();
}
- (void)retrieveVersion:(id)sender {
  (void)sender;
  if (versionAction_ && *versionAction_) (*versionAction_)();
}
@end

namespace nuv::cocoa {

namespace {

// ---- run loop ---------------------------------------------------------------------------------

class AppKitRunLoop final : public RunLoop {
 public:
  ~AppKitRunLoop() override {
    for (NUVTask* s : sources_) release(s);
    for (TimerSlot& t : timers_) removeTimerSlot(t);
    for (WatchSlot& w : watches_) removeWatchSlot(w);
  }

  Clock::time_point now() const override { return realClock().now(); }

  void performAfterDelay(std::chrono::nanoseconds delay, Task task) override {
    NUVTask* box = newTask(std::move(task));
    // The run loop retains the target until the call has run.
    [box performSelector:@selector(run:)
              withObject:nil
              afterDelay:std::chrono::duration<double>(delay).count()
                 inModes:defaultModeOnly()];
    [box release];
  }

  SourceId addSource(Task perform) override {
    std::lock_guard lock(mutex_);
    sources_.push_back(newTask(std::move(perform)));
    return static_cast<SourceId>(sources_.size());
  }

  void signalSource(SourceId which) override {
    NUVTask* source = nil;
    {
      std::lock_guard lock(mutex_);
      if (which <= 0 || static_cast<std::size_t>(which) > sources_.size()) return;
      source = sources_[static_cast<std::size_t>(which) - 1];
      if (source == nil || source->pending_.exchange(true)) return;
      // The loop's thread may remove the source as soon as the lock is left; until the perform
      // below holds the task, this reference keeps it alive (a removed one is then run dead).
      [source retain];
    }
    // On the loop's own thread a zero delay: it is a timer, which keeps the loop from sleeping.
    // GNUstep's application loop (waiting for the next event) was seen to sleep through a
    // message that the main thread performed on itself until some other event came, which
    // stalled a download between two replies. Other threads go through the main thread's
    // queue, which wakes the loop.
    if ([NSThread isMainThread]) {
      [source performSelector:@selector(runSource:)
                   withObject:nil
                   afterDelay:0.0
                      inModes:defaultModeOnly()];
    } else {
      // Threads of the bus or of the HID stack have no autorelease pool of their own.
      NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
      [source performSelectorOnMainThread:@selector(runSource:)
                               withObject:nil
                            waitUntilDone:NO
                                    modes:defaultModeOnly()];
      [pool release];
    }
    [source release];
  }

  void removeSource(SourceId which) override {
    std::lock_guard lock(mutex_);
    if (which <= 0 || static_cast<std::size_t>(which) > sources_.size()) return;
    NUVTask*& source = sources_[static_cast<std::size_t>(which) - 1];
    release(source);
    source = nil;
  }

  // One NSTimer per timer for its whole life, moved by its fire date: arming allocates no
  // timer. Its interval is so long that after firing it waits for the next arming.
  TimerId addTimer(Task fire) override {
    NUVTask* box = newTask(std::move(fire));
    NSTimer* timer = [NSTimer timerWithTimeInterval:kIdleInterval
                                             target:box
                                           selector:@selector(run:)
                                           userInfo:nil
                                            repeats:YES];
    [timer setFireDate:[NSDate distantFuture]];
    [[NSRunLoop currentRunLoop] addTimer:timer forMode:NSDefaultRunLoopMode];
    timers_.push_back(TimerSlot{[timer retain], box});
    return static_cast<TimerId>(timers_.size());
  }
  void armTimer(TimerId which, Clock::time_point at) override {
    if (TimerSlot* t = timerOf(which)) {
      const double seconds = std::chrono::duration<double>(at - now()).count();
      [t->timer setFireDate:[NSDate dateWithTimeIntervalSinceNow:std::max(0.0, seconds)]];
    }
  }
  void disarmTimer(TimerId which) override {
    if (TimerSlot* t = timerOf(which)) [t->timer setFireDate:[NSDate distantFuture]];
  }
  void removeTimer(TimerId which) override {
    if (TimerSlot* t = timerOf(which)) removeTimerSlot(*t);
  }

  WatchId watchReadable(int fd, Task onReadable) override {
    WatchSlot slot{fd, newTask(std::move(onReadable))};
#if defined(GNUSTEP)
    [[NSRunLoop currentRunLoop] addEvent:reinterpret_cast<void*>(static_cast<intptr_t>(fd))
                                    type:ET_RDESC
                                 watcher:slot.task
                                 forMode:NSDefaultRunLoopMode];
#else
    CFFileDescriptorContext context = {0, slot.task, NULL, NULL, NULL};
    slot.descriptor = CFFileDescriptorCreate(kCFAllocatorDefault, fd, false,
                                             &AppKitRunLoop::descriptorReadable, &context);
    if (slot.descriptor != NULL) {
      CFFileDescriptorEnableCallBacks(slot.descriptor, kCFFileDescriptorReadCallBack);
      slot.source = CFFileDescriptorCreateRunLoopSource(kCFAllocatorDefault, slot.descriptor, 0);
      CFRunLoopAddSource(CFRunLoopGetCurrent(), slot.source, kCFRunLoopDefaultMode);
    }
#endif
    watches_.push_back(slot);
    return static_cast<WatchId>(watches_.size());
  }
  void unwatch(WatchId which) override {
    if (which <= 0 || static_cast<std::size_t>(which) > watches_.size()) return;
    removeWatchSlot(watches_[static_cast<std::size_t>(which) - 1]);
  }

  // NSAlert and NSOpenPanel run their sessions in the modal panel mode, where nothing of the
  // default mode is delivered; the count is only kept for symmetry with the other backends.
  void beginModal() override {
    ++modalDepth_;
  }
  void endModal() override {
    if (modalDepth_ > 0) --modalDepth_;
  }

 private:
  static constexpr double kIdleInterval = 1.0e9;  // seconds: about thirty years

  struct TimerSlot {
    NSTimer* timer;
    NUVTask* task;
  };
  struct WatchSlot {
    int fd;
    NUVTask* task;
#if !defined(GNUSTEP)
    CFFileDescriptorRef descriptor = NULL;
    CFRunLoopSourceRef source = NULL;
#endif
  };

  static void release(NUVTask* task) {
    if (task == nil) return;
    task->alive_ = NO;  // a signal already on its way finds it dead
    [task release];
  }

#if !defined(GNUSTEP)
  // CFFileDescriptor callbacks are one-shot: enabled again after each, which makes the watch
  // level-triggered as the seam says.
  static void descriptorReadable(CFFileDescriptorRef descriptor, CFOptionFlags, void* info) {
    NUVTask* task = static_cast<NUVTask*>(info);
    [task retain];
    [task run:nil];
    if (task->alive_) CFFileDescriptorEnableCallBacks(descriptor, kCFFileDescriptorReadCallBack);
    [task release];
  }
#endif

  TimerSlot* timerOf(TimerId which) {
    if (which <= 0 || static_cast<std::size_t>(which) > timers_.size()) return nullptr;
    TimerSlot& t = timers_[static_cast<std::size_t>(which) - 1];
    return t.timer != nil ? &t : nullptr;
  }
  static void removeTimerSlot(TimerSlot& t) {
    if (t.timer == nil) return;
    [t.timer invalidate];
    [t.timer release];
    release(t.task);
    t.timer = nil;
    t.task = nil;
  }
  static void removeWatchSlot(WatchSlot& w) {
    if (w.task == nil) return;
#if defined(GNUSTEP)
    [[NSRunLoop currentRunLoop] removeEvent:reinterpret_cast<void*>(static_cast<intptr_t>(w.fd))
                                       type:ET_RDESC
                                    forMode:NSDefaultRunLoopMode
                                        all:YES];
#else
    if (w.source != NULL) {
      CFRunLoopRemoveSource(CFRunLoopGetCurrent(), w.source, kCFRunLoopDefaultMode);
      CFRelease(w.source);
    }
    if (w.descriptor != NULL) {
      CFFileDescriptorInvalidate(w.descriptor);
      CFRelease(w.descriptor);
    }
#endif
    release(w.task);
    w.task = nil;
  }

  std::mutex mutex_;  // sources_ is read from other threads by signalSource
  std::deque<NUVTask*> sources_;
  std::deque<TimerSlot> timers_;
  std::deque<WatchSlot> watches_;
  int modalDepth_ = 0;
};

// ---- controls ---------------------------------------------------------------------------------

// Holds its NSView retained for as long as the wrapper lives.
class AppKitView : public virtual View {
 public:
  explicit AppKitView(NSView* view) : view_([view retain]) {}
  ~AppKitView() override { [view_ release]; }
  AppKitView(const AppKitView&) = delete;
  AppKitView& operator=(const AppKitView&) = delete;

  void setHidden(bool hidden) override { [view_ setHidden:hidden ? YES : NO]; }
  bool isHidden() const override { return [view_ isHidden] == YES; }
  Rect frame() const override {
    const NSRect f = [view_ frame];
    return Rect{f.origin.x, f.origin.y, f.size.width, f.size.height};
  }
  void setFrame(Rect frame) override { [view_ setFrame:toNSRect(frame)]; }
  void addSubview(View& child) override {
    if (auto* appKit = dynamic_cast<AppKitView*>(&child)) [view_ addSubview:appKit->view_];
  }
  [[nodiscard]] NSView* nsView() const { return view_; }

 protected:
  NSView* view_;
};

class AppKitTextField final : public AppKitView, public TextField {
 public:
  enum class Origin { InterfaceFile, MadeInCode };
  // `observer`, when given, sees every text this field is given; it must outlive the field.
  AppKitTextField(NSTextField* field, Origin origin,
                  const AppKitApplication::StatusObserver* observer)
      : AppKitView(field), field_(field), origin_(origin), observer_(observer) {}
  // A field made in code leaves its superview with its wrapper; one of the interface file
  // stays in its view.
  ~AppKitTextField() override {
    if (origin_ == Origin::MadeInCode) [field_ removeFromSuperview];
  }
  void setStringValue(std::string_view text) override {
    [field_ setStringValue:toNSString(text)];
    if (observer_ != nullptr && *observer_) (*observer_)(std::string(text));
  }
  std::string stringValue() const override { return toStdString([field_ stringValue]); }
  void setDrawsBackground(bool draws) override {
    [field_ setDrawsBackground:draws ? YES : NO];
    if (!draws) [field_ setBackgroundColor:[NSColor clearColor]];
  }
  void setAlignment(TextAlignment alignment) override {
    [field_ setAlignment:alignment == TextAlignment::Center ? NUV_TEXT_ALIGNMENT_CENTER
                                                            : NUV_TEXT_ALIGNMENT_NATURAL];
  }

 private:
  NSTextField* field_;
  const Origin origin_;
  const AppKitApplication::StatusObserver* observer_;
};

class AppKitButton final : public AppKitView, public Button {
 public:
  AppKitButton(NSButton* button, Task* action) : AppKitView(button), action_(action) {}
  void setEnabled(bool enabled) override { [static_cast<NSButton*>(view_) setEnabled:enabled]; }
  bool isEnabled() const override { return [static_cast<NSButton*>(view_) isEnabled] == YES; }
  void setAction(Task action) override { *action_ = std::move(action); }
  std::string title() const override { return toStdString([static_cast<NSButton*>(view_) title]); }

 private:
  Task* action_;  // the view controller's slot of the action this button sends
};

class AppKitProgressIndicator final : public AppKitView, public ProgressIndicator {
 public:
  explicit AppKitProgressIndicator(NSProgressIndicator* bar) : AppKitView(bar), bar_(bar) {}
  void setMinValue(double value) override { [bar_ setMinValue:value]; }
  void setMaxValue(double value) override { [bar_ setMaxValue:value]; }
  void setDoubleValue(double value) override { [bar_ setDoubleValue:value]; }
  double minValue() const override { return [bar_ minValue]; }
  double maxValue() const override { return [bar_ maxValue]; }
  double doubleValue() const override { return [bar_ doubleValue]; }
  void startAnimation() override {
    [bar_ startAnimation:nil];
    animating_ = true;
  }
  void stopAnimation() override {
    [bar_ stopAnimation:nil];
    animating_ = false;
  }
  bool isAnimating() const override { return animating_; }

 private:
  NSProgressIndicator* bar_;
  bool animating_ = false;  // AppKit does not say whether a bar animates
};

class AppKitWindow final : public Window {
 public:
  AppKitWindow() {
    const NSUInteger style =
        NUV_WINDOW_STYLE_TITLED | NUV_WINDOW_STYLE_CLOSABLE | NUV_WINDOW_STYLE_MINIATURIZABLE;
    window_ = [[NSWindow alloc] initWithContentRect:toNSRect(nib::kViewFrame)
                                          styleMask:style
                                            backing:NSBackingStoreBuffered
                                              defer:NO];
    [window_ setReleasedWhenClosed:NO];  // released here, not by closing it
    [window_ center];
  }
  ~AppKitWindow() override { [window_ release]; }
  AppKitWindow(const AppKitWindow&) = delete;
  AppKitWindow& operator=(const AppKitWindow&) = delete;

  void setContentView(View& view) override {
    auto* appKit = dynamic_cast<AppKitView*>(&view);
    if (appKit == nullptr) return;
    [window_ setContentSize:[appKit->nsView() frame].size];
    [window_ setContentView:appKit->nsView()];
  }
  void setTitle(std::string_view title) override { [window_ setTitle:toNSString(title)]; }
  std::string title() const override { return toStdString([window_ title]); }
  [[nodiscard]] NSWindow* nsWindow() const { return window_; }

 private:
  NSWindow* window_;
};

struct AppKitNib {
  std::unique_ptr<AppKitView> view;
  std::unique_ptr<AppKitTextField> status;
  std::unique_ptr<AppKitProgressIndicator> progress;
  std::unique_ptr<AppKitButton> download, stop, version;
};

}  // namespace

// ---- application ------------------------------------------------------------------------------

struct AppKitApplication::Impl {
  AppKitRunLoop loop;
  AppKitWindow window;
  HIDViewController* viewController = nil;
  std::unique_ptr<AppKitNib> nib;
  StatusObserver statusObserver;
};

AppKitApplication::AppKitApplication() : impl_(std::make_unique<Impl>()) {}

AppKitApplication::~AppKitApplication() {
  impl_->nib.reset();
  [impl_->viewController release];
}

RunLoop& AppKitApplication::runLoop() {
  return impl_->loop;
}
Window& AppKitApplication::mainWindow() {
  return impl_->window;
}
NSWindow* AppKitApplication::nativeWindow() const {
  return impl_->window.nsWindow();
}
NSViewController* AppKitApplication::nativeViewController() const {
  return impl_->viewController;
}
void AppKitApplication::setStatusObserver(StatusObserver observer) {
  impl_->statusObserver = std::move(observer);
}

std::optional<ViewOutlets> AppKitApplication::loadNib(std::string_view nibName) {
  if (nibName != nib::kHIDViewControllerNib) return std::nullopt;
  if (!impl_->nib) {
    HIDViewController* vc = [[HIDViewController alloc] initWithNibName:toNSString(nibName)
                                                                bundle:[NSBundle mainBundle]];
    NSView* view = [vc view];  // runs loadView
    auto n = std::make_unique<AppKitNib>();
    n->view = std::make_unique<AppKitView>(view);
    n->status = std::make_unique<AppKitTextField>(
        vc->statusTextField, AppKitTextField::Origin::InterfaceFile, &impl_->statusObserver);
    n->progress = std::make_unique<AppKitProgressIndicator>(vc->progressIndicator);
    n->download = std::make_unique<AppKitButton>(vc->downloadButton, vc->downloadAction_.get());
    n->stop = std::make_unique<AppKitButton>(vc->stopButton, vc->stopAction_.get());
    n->version = std::make_unique<AppKitButton>(vc->versionButton, vc->versionAction_.get());
    impl_->viewController = vc;
    impl_->nib = std::move(n);
  }
  AppKitNib& n = *impl_->nib;
  return ViewOutlets{n.view.get(),     n.status.get(), n.progress.get(),
                     n.download.get(), n.stop.get(),   n.version.get()};
}

std::unique_ptr<TextField> AppKitApplication::makeTextField(Rect frame) {
  NSTextField* field = [[NSTextField alloc] initWithFrame:toNSRect(frame)];
  [field setEditable:NO];
  [field setSelectable:NO];
  [field setBezeled:NO];
  [field setBordered:NO];
  auto wrapper =
      std::make_unique<AppKitTextField>(field, AppKitTextField::Origin::MadeInCode, nullptr);
  [field release];  // the wrapper holds it
  return wrapper;
}

int AppKitApplication::runModalAlert(const Alert& alert) {
  ModalSession session(impl_->loop);
  NSAlert* box = [[NSAlert alloc] init];
  [box setAlertStyle:NUV_ALERT_STYLE_INFORMATIONAL];
  [box setMessageText:toNSString(alert.messageText)];
  [box setInformativeText:toNSString(alert.informativeText)];
  for (const std::string& title : alert.buttons) [box addButtonWithTitle:toNSString(title)];
  NSLog(@"Alert: %@ %@", [box messageText], [box informativeText]);
  const NSInteger response = [box runModal];
  [box release];
  // AppKit's first button answers NSAlertFirstButtonReturn (1000), as the seam's does.
  return static_cast<int>(response);
}

OpenPanelResult AppKitApplication::runModalOpenPanel() {
  ModalSession session(impl_->loop);
  NSOpenPanel* panel = [NSOpenPanel openPanel];
  [panel setCanChooseFiles:YES];
  [panel setCanChooseDirectories:NO];
  [panel setAllowsMultipleSelection:NO];
  if ([panel runModal] != NUV_MODAL_RESPONSE_OK) return OpenPanelResult{};
  NSArray* urls = [panel URLs];
  if ([urls count] == 0) return OpenPanelResult{kModalResponseOK, {}};
  NSURL* url = [urls objectAtIndex:0];
  return OpenPanelResult{kModalResponseOK, {toStdString([url path])}};
}

}  // namespace nuv::cocoa
