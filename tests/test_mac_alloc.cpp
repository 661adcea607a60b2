// No report allocates: the write loop of a whole download, between its first Writes and its
// last, makes no heap allocation in the controller, the headless backend, the protocol code
// or the image walk.
#include <optional>

#include "tests/mac_fixture.h"
#include "tests/mac_loopback.h"
#include "testsupport/AllocationCounter.h"

namespace mactest {
namespace {

TEST(MacAllocation, WriteLoopAllocatesNothingPerReport) {
  HeadlessApplication app;
  LoopbackHIDManager* loopback = nullptr;
  std::uint64_t countedWrites = 0;
  std::optional<std::uint64_t> before;
  std::uint64_t allocations = 0;
  {
    nuv::mac::AppDelegate delegate(app, [&] {
      auto manager = std::make_unique<LoopbackHIDManager>();
      loopback = manager.get();
      return manager;
    });
    // The walk's log lines fall inside the window; count them without keeping them.
    struct CountingSink final : nuv::LogSink {
      void write(std::string_view) override { ++lines; }
      std::size_t lines = 0;
    } log;
    nuv::ScopedLogSink scope(log);
    delegate.applicationDidFinishLaunching();
    app.runLoop().runUntilIdle();
    ASSERT_TRUE(app.nib()->downloadButton.isEnabled());
    loopback->onWrite = [&](std::uint64_t n) {
      // From the 64th Write on the status text's capacity has grown as far as it will.
      if (n == 64) before = nuv::test::allocationCount();
      if (n == 16300) {
        allocations = nuv::test::allocationCount() - *before;
        countedWrites = n - 64;
      }
    };
    const std::string image = writeFile("mac-alloc.nuv", nuv::image::pack(testFirmware(), 0));
    app.setOpenPanelResponder([image] {
      return nuv::cocoa::OpenPanelResult{nuv::cocoa::kModalResponseOK, {image}};
    });
    ASSERT_TRUE(app.nib()->downloadButton.click());
    // The check itself must not allocate: no copies of texts here.
    ASSERT_TRUE(app.runLoop().advanceUntil(
        [&] {
          return loopback->writes() == 16384 &&
                 delegate.viewController()->currentStatus() == nuv::mac::HIDStatusIdle;
        },
        30s));
    EXPECT_EQ(app.nib()->statusTextField.stringValue(), "Finished");
    EXPECT_GT(log.lines, 959u);
  }
  EXPECT_EQ(countedWrites, 16300u - 64u);
  EXPECT_EQ(allocations, 0u);
}

}  // namespace
}  // namespace mactest
