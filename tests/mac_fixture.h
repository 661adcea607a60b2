// The QuenlorHID controller on the headless backend, against emulated devices on a virtual bus
// that shares the run loop's virtual clock.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "mac/AppDelegate.h"
#include "mac/HIDViewController.h"
#include "platform/cocoa/Headless.h"
#include "platform/iohid/Sim.h"
#include "protocol/HIDProto.h"
#include "protocol/Log.h"
#include "protocol/UpdateImage.h"
#include "sim/VirtualBus.h"
#include "tests/mac_images.h"

namespace mactest {

using namespace std::chrono_literals;
using nuv::cocoa::HeadlessApplication;
using nuv::cocoa::HeadlessNib;
using nuv::mac::HIDViewController;

class LogCapture final : public nuv::LogSink {
 public:
  void write(std::string_view line) override { lines.emplace_back(line); }
  [[nodiscard]] bool has(std::string_view line) const {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  [[nodiscard]] long count(std::string_view line) const {
    return std::count(lines.begin(), lines.end(), line);
  }
  std::vector<std::string> lines;
};

// CTest runs the cases of one binary as processes side by side: each gets files of its own.
inline std::string writeFile(const std::string& name, const std::vector<std::uint8_t>& bytes) {
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string testName = test != nullptr ? std::string(test->name()) + "-" : std::string();
  std::replace(testName.begin(), testName.end(), '/', '-');  // parameterised: "Case/Value"
  const std::string prefix = std::to_string(::getpid()) + "-" + testName;
  return writeFileIn(::testing::TempDir(), prefix + name, bytes);
}

class MacFixture : public ::testing::Test {
 protected:
  MacFixture() : bus(app.runLoop().clock()), logScope(log) {
    app.runLoop().setClockMovedHook([this] { bus.timeAdvanced(); });
  }
  ~MacFixture() override { delegate.reset(); }

  nuv::cocoa::HeadlessRunLoop& loop() { return app.runLoop(); }

  // Launches the program; nothing the launch started has been delivered yet.
  void launchOnly() {
    delegate = std::make_unique<nuv::mac::AppDelegate>(
        app, [this] { return nuv::iohid::createSimHIDManager(bus); });
    delegate->applicationDidFinishLaunching();
    nib().statusTextField.recordHistory(true);
    percentage().recordHistory(true);
  }
  // Launches the program and lets the run loop deliver what the launch started.
  void launch() {
    launchOnly();
    loop().runUntilIdle();
  }

  HIDViewController& ctrl() { return *delegate->viewController(); }
  HeadlessNib& nib() { return *app.nib(); }
  nuv::cocoa::HeadlessTextField& percentage() {
    return *static_cast<nuv::cocoa::HeadlessTextField*>(ctrl().percentageField());
  }
  std::string statusText() { return nib().statusTextField.stringValue(); }
  const std::vector<std::string>& statusHistory() { return nib().statusTextField.history(); }
  nuv::mac::HIDStatus state() { return ctrl().currentStatus(); }

  std::shared_ptr<nuv::sim::UpdateDevice> plug(nuv::sim::UpdateDeviceOptions options = {},
                                               nuv::sim::DeviceInfo info = {}) {
    auto device = bus.plug(std::move(info), std::move(options));
    loop().runUntilIdle();
    return device;
  }

  // The next open panel picks `path`.
  void choose(const std::string& path) {
    app.setOpenPanelResponder([path] {
      return nuv::cocoa::OpenPanelResult{nuv::cocoa::kModalResponseOK, {path}};
    });
  }
  std::string validImage() {
    return writeFile("mac-valid.nuv", nuv::image::pack(testFirmware(), 0xEE));
  }

  // Download pressed with `path` chosen.
  bool startDownload(const std::string& path) {
    choose(path);
    return nib().downloadButton.click();
  }
  // Until the controller is back at idle, at most `limit` of virtual time.
  bool runToIdle(std::chrono::nanoseconds limit = 60s) {
    return loop().advanceUntil([this] { return state() == nuv::mac::HIDStatusIdle; }, limit);
  }
  static std::uint32_t writes(const nuv::sim::UpdateDevice& d) { return d.countOf(kCmdWrite); }

  HeadlessApplication app;
  nuv::sim::VirtualBus bus;
  LogCapture log;
  nuv::ScopedLogSink logScope;
  std::unique_ptr<nuv::mac::AppDelegate> delegate;
};

}  // namespace mactest
