// The AppKit backend of the Cocoa seam on GNUstep: its run loop keeps the seam's promises
// (order, coalescing, re-arming, descriptors, nothing inside a modal session), its interface
// file has the outlets and wiring the controller relies on, and the controller runs a version
// query on it against the emulated device. Needs a display (the suite runs it under Xvfb).
//
// Real time is used, but no test depends on how fast the machine is: each waits for what it
// expects with a generous deadline and checks order and counts, never durations.
#import <AppKit/AppKit.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "mac/AppDelegate.h"
#include "platform/cocoa/AppKit.h"
#include "platform/cocoa/Nib.h"
#include "platform/iohid/Sim.h"
#include "sim/VirtualBus.h"

namespace {

using nuv::cocoa::AppKitApplication;
using nuv::cocoa::RunLoop;
using namespace std::chrono_literals;

// Runs the main run loop in `mode` until `done` says so or `seconds` have passed.
template <typename Done>
bool runUntil(Done done, double seconds = 5.0, NSString* mode = NSDefaultRunLoopMode) {
  NSDate* deadline = [NSDate dateWithTimeIntervalSinceNow:seconds];
  while (!done()) {
    if ([deadline timeIntervalSinceNow] <= 0) return false;
    NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
    [[NSRunLoop currentRunLoop] runMode:mode beforeDate:[NSDate dateWithTimeIntervalSinceNow:0.02]];
    [pool release];
  }
  return true;
}

// Runs the loop for a while whatever happens, to see that something does not.
void runFor(double seconds, NSString* mode = NSDefaultRunLoopMode) {
  (void)runUntil([] { return false; }, seconds, mode);
}

class AppKitTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { [NSApplication sharedApplication]; }
  void SetUp() override {
    pool_ = [[NSAutoreleasePool alloc] init];
    app_ = std::make_unique<AppKitApplication>();
  }
  void TearDown() override {
    app_.reset();
    [pool_ release];
  }
  RunLoop& loop() { return app_->runLoop(); }

  NSAutoreleasePool* pool_ = nil;
  std::unique_ptr<AppKitApplication> app_;
};

TEST_F(AppKitTest, DelayedCallsRunInTheOrderTheyComeDue) {
  std::vector<int> order;
  std::vector<int>* seen = &order;
  loop().performAfterDelay(60ms, [seen] { seen->push_back(3); });
  loop().performAfterDelay(0ms, [seen] { seen->push_back(1); });
  loop().performAfterDelay(30ms, [seen] { seen->push_back(2); });
  EXPECT_TRUE(runUntil([seen] { return seen->size() == 3; }));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(AppKitTest, SignalsBeforeASourceRunsCoalesceAndAnotherThreadWakesTheLoop) {
  std::atomic<int> runs{0};
  std::atomic<int>* count = &runs;
  const RunLoop::SourceId source = loop().addSource([count] { ++*count; });
  loop().signalSource(source);
  loop().signalSource(source);
  loop().signalSource(source);
  EXPECT_TRUE(runUntil([count] { return count->load() >= 1; }));
  runFor(0.1);
  EXPECT_EQ(runs.load(), 1);

  // A function object: a lambda of two captures is misparsed here (see AppKitCompat.h).
  struct Signal {
    RunLoop* loop;
    RunLoop::SourceId source;
    void operator()() const { loop->signalSource(source); }
  };
  std::thread other(Signal{&loop(), source});
  other.join();
  EXPECT_TRUE(runUntil([count] { return count->load() == 2; }));

  loop().removeSource(source);
  loop().signalSource(source);
  runFor(0.1);
  EXPECT_EQ(runs.load(), 2);
}

// The emulated bus and the HID stack signal a device's source from their own threads while the
// loop's thread may remove it (the device went away): a signal on its way must keep what it
// signals alive, and the removed source must never run.
TEST_F(AppKitTest, ASourceRemovedWhileAnotherThreadSignalsItIsNeverRunOrTouched) {
  struct Shared {
    RunLoop* loop;
    std::atomic<RunLoop::SourceId> current{0};
    std::atomic<bool> stop{false};
    std::atomic<int> runs{0};
    std::atomic<int> runsAfterRemoval{0};
  } shared{&loop()};
  Shared* s = &shared;
  struct Signaller {
    Shared* s;
    void operator()() const {
      while (!s->stop.load()) {
        if (const RunLoop::SourceId id = s->current.load()) s->loop->signalSource(id);
      }
    }
  };
  std::thread other(Signaller{s});
  for (int round = 0; round < 3000; ++round) {
    const RunLoop::SourceId id = loop().addSource([s] {
      ++s->runs;
      if (s->current.load() == 0) ++s->runsAfterRemoval;
    });
    s->current.store(id);
    NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
    [[NSRunLoop currentRunLoop] runMode:NSDefaultRunLoopMode beforeDate:[NSDate date]];
    [pool release];
    s->current.store(0);
    loop().removeSource(id);
  }
  s->stop.store(true);
  other.join();
  runFor(0.2);  // the signals still on their way find their sources removed
  EXPECT_GT(shared.runs.load(), 0);
  EXPECT_EQ(shared.runsAfterRemoval.load(), 0);
}

TEST_F(AppKitTest, ATimerFiresOncePerArmingAndNotWhenDisarmedOrRemoved) {
  int fired = 0;
  int* count = &fired;
  const RunLoop::TimerId timer = loop().addTimer([count] { ++*count; });
  loop().armTimer(timer, loop().now() + 10s);
  loop().armTimer(timer, loop().now() + 20ms);  // moved, not added
  EXPECT_TRUE(runUntil([count] { return *count == 1; }));
  runFor(0.2);
  EXPECT_EQ(fired, 1);

  loop().armTimer(timer, loop().now() + 20ms);
  EXPECT_TRUE(runUntil([count] { return *count == 2; }));

  loop().armTimer(timer, loop().now() + 50ms);
  loop().disarmTimer(timer);
  runFor(0.2);
  EXPECT_EQ(fired, 2);

  loop().armTimer(timer, loop().now() + 20ms);
  loop().removeTimer(timer);
  runFor(0.2);
  EXPECT_EQ(fired, 2);
}

TEST_F(AppKitTest, ATaskMayRemoveItsOwnSourceOrTimerWhileItRuns) {
  struct Self {
    RunLoop* loop;
    RunLoop::SourceId source = 0;
    RunLoop::TimerId timer = 0;
    std::string ran;
  } self{&loop()};
  Self* s = &self;
  self.source = loop().addSource([s] {
    s->loop->removeSource(s->source);
    s->ran += "source ";  // still inside the removed source's function
  });
  self.timer = loop().addTimer([s] {
    s->loop->removeTimer(s->timer);
    s->ran += "timer ";
  });
  loop().signalSource(self.source);
  loop().armTimer(self.timer, loop().now() + 20ms);
  EXPECT_TRUE(runUntil([s] { return s->ran.size() == std::string("source timer ").size(); }));
  EXPECT_EQ(self.ran, "source timer ");
  loop().signalSource(self.source);
  runFor(0.1);
  EXPECT_EQ(self.ran, "source timer ");
}

TEST_F(AppKitTest, AReadableDescriptorIsDeliveredUntilUnwatched) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int reads = 0;
  int* count = &reads;
  const int readEnd = fds[0];
  const RunLoop::WatchId watch = loop().watchReadable(readEnd, [count] { ++*count; });
  runFor(0.1);
  EXPECT_EQ(reads, 0);

  ASSERT_EQ(write(fds[1], "x", 1), 1);
  EXPECT_TRUE(runUntil([count] { return *count >= 1; }));
  char byte = 0;
  ASSERT_EQ(read(readEnd, &byte, 1), 1);

  loop().unwatch(watch);
  const int before = reads;
  ASSERT_EQ(write(fds[1], "y", 1), 1);
  runFor(0.2);
  EXPECT_EQ(reads, before);
  close(fds[0]);
  close(fds[1]);
}

// NSAlert and NSOpenPanel run the loop in the modal panel mode.
TEST_F(AppKitTest, NothingOfTheDefaultModeIsDeliveredInsideAModalSession) {
  int ran = 0;
  int* count = &ran;
  loop().performAfterDelay(0ms, [count] { ++*count; });
  const RunLoop::SourceId source = loop().addSource([count] { ++*count; });
  loop().signalSource(source);
  runFor(0.2, NSModalPanelRunLoopMode);
  EXPECT_EQ(ran, 0);
  EXPECT_TRUE(runUntil([count] { return *count == 2; }));
}

TEST_F(AppKitTest, TheInterfaceFileHasTheOutletsTitlesAndFramesAndWiresTheActions) {
  namespace nib = nuv::cocoa::nib;
  EXPECT_FALSE(app_->loadNib("Other").has_value());
  const auto outlets = app_->loadNib(nib::kHIDViewControllerNib);
  ASSERT_TRUE(outlets.has_value());
  ASSERT_NE(outlets->statusTextField, nullptr);
  EXPECT_EQ(outlets->downloadButton->title(), nib::kDownloadTitle);
  EXPECT_EQ(outlets->stopButton->title(), nib::kStopTitle);
  EXPECT_EQ(outlets->versionButton->title(), nib::kVersionTitle);
  EXPECT_EQ(outlets->statusTextField->frame(), nib::kStatusTextFieldFrame);
  EXPECT_EQ(outlets->progressIndicator->frame(), nib::kProgressIndicatorFrame);
  EXPECT_EQ(outlets->view->frame(), nib::kViewFrame);
  // Loaded once: a second ask gives the same controls.
  EXPECT_EQ(app_->loadNib(nib::kHIDViewControllerNib)->statusTextField, outlets->statusTextField);

  std::string sent;
  std::string* actions = &sent;
  outlets->downloadButton->setAction([actions] { *actions += "download "; });
  outlets->stopButton->setAction([actions] { *actions += "stop "; });
  outlets->versionButton->setAction([actions] { *actions += "version "; });
  NSViewController* vc = app_->nativeViewController();
  ASSERT_NE(vc, nil);
  [NSApp sendAction:@selector(download:) to:vc from:nil];
  [NSApp sendAction:@selector(stop:) to:vc from:nil];
  [NSApp sendAction:@selector(retrieveVersion:) to:vc from:nil];
  EXPECT_EQ(sent, "download stop version ");

  outlets->statusTextField->setStringValue("Writing address: 0x10");
  EXPECT_EQ(outlets->statusTextField->stringValue(), "Writing address: 0x10");
  outlets->progressIndicator->setMinValue(0.0);
  outlets->progressIndicator->setMaxValue(1.0);
  outlets->progressIndicator->setDoubleValue(0.25);
  EXPECT_DOUBLE_EQ(outlets->progressIndicator->doubleValue(), 0.25);
  outlets->stopButton->setEnabled(false);
  EXPECT_FALSE(outlets->stopButton->isEnabled());
}

TEST_F(AppKitTest, TheStatusObserverSeesTheStatusFieldOnly) {
  std::vector<std::string> seen;
  std::vector<std::string>* texts = &seen;
  app_->setStatusObserver([texts](const std::string& text) { texts->push_back(text); });
  const auto outlets = app_->loadNib(nuv::cocoa::nib::kHIDViewControllerNib);
  ASSERT_TRUE(outlets.has_value());
  outlets->statusTextField->setStringValue("Ready");
  const auto label = app_->makeTextField({0, 0, 400, 20});
  label->setStringValue("50%");
  EXPECT_EQ(seen, (std::vector<std::string>{"Ready"}));
}

// The controller of the macOS program on this backend, against the emulated device.
TEST_F(AppKitTest, TheControllerFindsTheDeviceAndQueriesItsVersion) {
  nuv::sim::VirtualBus bus;
  nuv::sim::UpdateDeviceOptions options;
  options.version = "2.07";
  (void)bus.plug({}, options);
  nuv::sim::VirtualBus* b = &bus;
  {
    nuv::mac::AppDelegate delegate(*app_, [b] { return nuv::iohid::createSimHIDManager(*b); });
    delegate.applicationDidFinishLaunching();
    EXPECT_EQ(app_->mainWindow().title(), "www.example.com V1.01");
    nuv::mac::HIDViewController* controller = delegate.viewController();
    ASSERT_NE(controller, nullptr);
    EXPECT_TRUE(runUntil([controller] { return controller->currentDevice() != nullptr; }));
    const auto outlets = app_->loadNib(nuv::cocoa::nib::kHIDViewControllerNib);
    EXPECT_TRUE(outlets->versionButton->isEnabled());
    EXPECT_TRUE(outlets->progressIndicator->isHidden());

    [NSApp sendAction:@selector(retrieveVersion:) to:app_->nativeViewController() from:nil];
    nuv::cocoa::TextField* status = outlets->statusTextField;
    EXPECT_TRUE(runUntil([status] { return status->stringValue() == "Version: 2.07"; }));
    // The percentage label sits on the bar, at its origin, with its size.
    ASSERT_NE(controller->percentageField(), nullptr);
    const nuv::cocoa::Rect bar = outlets->progressIndicator->frame();
    EXPECT_EQ(controller->percentageField()->frame(),
              (nuv::cocoa::Rect{0, 0, bar.width, bar.height}));
  }
  // Torn down with the device open and the loop still running: nothing is delivered to it.
  runFor(0.2);
}

}  // namespace
