// The cells of the fault matrix, shared by the tests that walk it: every fault the emulated
// update device can be given, at every step of a download, and one cell's run through the
// update engine on the flow driver (tests/test_flow_driver.h), in this process and on the
// driver's time line.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "flow/EchoFlow.h"
#include "flow/StrictFlow.h"
#include "protocol/Framing.h"
#include "protocol/HIDProto.h"
#include "sim/UpdateDevice.h"
#include "tests/test_flow_driver.h"

namespace nuv::test {

// A test that hands the windows the flow tests' image as a file (their open dialog wants a
// path): a temporary folder of its own holding UPDATA.nuv, removed afterwards.
class ImageFileTest : public ::testing::Test {
 protected:
  explicit ImageFileTest(std::string prefix) : prefix_(std::move(prefix)) {}
  void SetUp() override {
    dir_ = std::filesystem::path(::testing::TempDir()) /
           (prefix_ + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    image_ = imageForFlowTests();
    imagePath_ = (dir_ / "UPDATA.nuv").string();
    std::ofstream(imagePath_, std::ios::binary)
        .write(reinterpret_cast<const char*>(image_.data()),
               static_cast<std::streamsize>(image_.size()));
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string prefix_;
  std::filesystem::path dir_;
  std::vector<std::uint8_t> image_;
  std::string imagePath_;
};

enum class Flow { Strict, Echo };

constexpr sim::Trigger atCode(std::uint8_t code) {
  return {sim::Trigger::Kind::AtCode, code};
}
constexpr sim::Trigger atAddress(std::uint32_t a) {
  return {sim::Trigger::Kind::AtAddress, a};
}

// A step of the download; `where` is the WHERE of --sim-fault (every command of a kind, or one
// address).
struct FaultStep {
  std::string_view name;
  std::string_view where;
  sim::Trigger trigger;
  bool repeat;
};

inline constexpr std::size_t kFaultStepCount = 8;
inline constexpr std::array<FaultStep, kFaultStepCount> kFaultSteps = {{
    {"Link", "link+", atCode(kCmdLink), true},
    {"Version", "version+", atCode(kCmdVersion), true},
    {"Format", "format+", atCode(kCmdFormat), true},
    {"Write 0x0000", "0x0000", atAddress(0x0000), false},
    {"Write 0x1000", "0x1000", atAddress(0x1000), false},
    {"Write 0x2000", "0x2000", atAddress(0x2000), false},
    {"Write 0xFBFC", "0xFBFC", atAddress(0xFBFC), false},
    {"Burn", "burn+", atCode(kCmdBurn), true},
}};

// A fault; `kind` is the KIND of --sim-fault. The late replies fall on either side of the
// strict flow's time-out (21 ticks of 200 ms).
struct DeviceFault {
  std::string_view kind;
  sim::FaultKind fault;
  std::chrono::milliseconds delay;
};

inline constexpr std::size_t kDeviceFaultCount = 11;
inline constexpr std::array<DeviceFault, kDeviceFaultCount> kDeviceFaults = {{
    {"no-reply", sim::FaultKind::NoReply, std::chrono::milliseconds(0)},
    {"late:5000", sim::FaultKind::LateReply, std::chrono::milliseconds(5000)},
    {"late:2000", sim::FaultKind::LateReply, std::chrono::milliseconds(2000)},
    {"duplicate", sim::FaultKind::Duplicate, std::chrono::milliseconds(0)},
    {"code-zero", sim::FaultKind::ReplyCodeZero, std::chrono::milliseconds(0)},
    {"wrong-code", sim::FaultKind::WrongCode, std::chrono::milliseconds(0)},
    {"wrong-address", sim::FaultKind::WrongAddress, std::chrono::milliseconds(0)},
    {"wrong-data", sim::FaultKind::WrongData, std::chrono::milliseconds(0)},
    {"short-report", sim::FaultKind::ShortReport, std::chrono::milliseconds(0)},
    {"write-failure", sim::FaultKind::WriteFailure, std::chrono::milliseconds(0)},
    {"unplug", sim::FaultKind::Unplug, std::chrono::milliseconds(0)},
}};

inline sim::Fault faultAt(const DeviceFault& fault, const FaultStep& step) {
  return {fault.fault, step.trigger, fault.delay, step.repeat};
}

struct EngineRunOptions {
  // The echo flow's stall limit; zero waits for ever, as the window does.
  std::chrono::milliseconds stallLimit{0};
  // Whether the engine hears of an unplug at once, as from the terminal's runner.
  bool reportUnplug = true;
  // Drop the replies that arrived before a send (FlowDriver::dropArrivedBeforeSend).
  bool dropArrivedBeforeSend = false;
  // Refresh reports the device received before the flow (they count for "#N" triggers).
  std::uint32_t refreshesBefore = 0;
};

struct EngineRun {
  std::unique_ptr<sim::UpdateDevice> device;
  std::optional<flow::Outcome> outcome;  // none: the flow waits for ever
  long long elapsedMs = 0;               // on the driver's time line
};

// Downloads `image` with the engine of `flow` to a device with `faults`.
inline EngineRun runDownloadEngine(Flow flow, const std::vector<sim::Fault>& faults,
                                   std::span<const std::uint8_t> image,
                                   const EngineRunOptions& options = {}) {
  EngineRun run;
  run.device = std::make_unique<sim::UpdateDevice>(sim::UpdateDeviceOptions{.faults = faults});
  for (std::uint32_t i = 0; i < options.refreshesBefore; ++i) {
    const std::array<std::uint8_t, kFramedReportSize> refresh = {kReportId, kCmdRefresh};
    (void)run.device->receive(refresh.data(), refresh.size());
  }
  std::unique_ptr<flow::Engine> engine;
  if (flow == Flow::Strict)
    engine = std::make_unique<flow::StrictFlow>(flow::StrictFlow::Task::Download);
  else
    engine = std::make_unique<flow::EchoFlow>(flow::EchoFlow::Task::Download, options.stallLimit);
  FlowDriver driver(*engine, *run.device);
  driver.reportUnplug = options.reportUnplug;
  driver.dropArrivedBeforeSend = options.dropArrivedBeforeSend;
  driver.run(image);
  if (engine->finished()) run.outcome = engine->outcome();
  run.elapsedMs = driver.elapsedMs();
  return run;
}

}  // namespace nuv::test
