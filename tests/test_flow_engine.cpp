// The strict, echo and verify engines against the emulated device, in process on the driver's
// time line: whole downloads checked byte for byte in the device's memory, version queries,
// refusals, every device fault at every step, cancel, stall limit and determinism.
#include <gtest/gtest.h>

#include <memory>

#include "flow/EchoFlow.h"
#include "flow/StrictFlow.h"
#include "flow/VerifyFlow.h"
#include "tests/test_flow_driver.h"

namespace {

using namespace std::chrono_literals;
using nuv::flow::DeviceState;
using nuv::flow::EchoFlow;
using nuv::flow::Outcome;
using nuv::flow::OutcomeKind;
using nuv::flow::Step;
using nuv::flow::StrictFlow;
using nuv::flow::VerifyFlow;
using nuv::sim::FaultKind;
using nuv::test::FlowDriver;

enum class Flow { Strict, Echo };

std::unique_ptr<nuv::flow::Engine> downloadEngine(Flow flow,
                                                  std::chrono::milliseconds stallLimit = 0ms) {
  if (flow == Flow::Strict) return std::make_unique<StrictFlow>(StrictFlow::Task::Download);
  return std::make_unique<EchoFlow>(EchoFlow::Task::Download, stallLimit);
}

std::vector<std::uint8_t> codesOf(const FlowDriver& driver) {
  std::vector<std::uint8_t> codes;
  for (const auto& r : driver.sent()) codes.push_back(r[0]);
  return codes;
}

// An outcome names the step and address of the last report sent, and the device state that
// the device's own record shows.
void expectOutcomeAgreesWithDevice(const FlowDriver& driver, const nuv::sim::UpdateDevice& device,
                                   const Outcome& outcome) {
  ASSERT_FALSE(driver.sent().empty());
  const auto& last = driver.sent().back();
  EXPECT_EQ(outcome.step, nuv::test::stepOfCommand(last[0]));
  if (last[0] == kCmdWrite) {
    EXPECT_EQ(outcome.address, static_cast<std::uint16_t>(last[1] | last[2] << 8));
  } else {
    EXPECT_FALSE(outcome.address.has_value());
  }
  EXPECT_EQ(outcome.deviceState, nuv::test::stateOf(device));
}

TEST(FlowEngine, WholeDownloadsLeaveTheImageInTheDevice) {
  const auto image = nuv::test::imageForFlowTests();
  const auto firmware = nuv::test::firmwareForFlowTests();
  for (Flow flow : {Flow::Strict, Flow::Echo}) {
    SCOPED_TRACE(flow == Flow::Strict ? "strict" : "echo");
    nuv::sim::UpdateDevice device;
    auto engine = downloadEngine(flow);
    FlowDriver driver(*engine, device);
    driver.run(image);
    ASSERT_TRUE(engine->finished());
    EXPECT_EQ(engine->outcome()->kind, OutcomeKind::Completed);
    EXPECT_EQ(engine->outcome()->deviceState, DeviceState::Burnt);
    const auto burnt = device.burnt();
    EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), burnt.begin()));
    EXPECT_EQ(device.formatCount(), 1u);
    EXPECT_EQ(device.burnCount(), 1u);
    EXPECT_EQ(device.repliesOverlapped(), 0u) << "stop-and-wait: each reply read before the next";
    const auto progress = driver.lastProgress();
    ASSERT_TRUE(progress.has_value());
    EXPECT_EQ(progress->done, progress->total);
    if (flow == Flow::Strict) {
      EXPECT_EQ(device.countOf(kCmdWrite), nuv::image::WindowsImageWalk::kWriteCount);
      EXPECT_EQ(device.countOf(kCmdVersion), 1u);
      EXPECT_EQ(driver.elapsedMs(), 0) << "no waits of its own";
    } else {
      EXPECT_EQ(device.countOf(kCmdWrite), nuv::image::MacImageWalk::kWriteCount);
      EXPECT_EQ(device.countOf(kCmdVersion), 0u);
      EXPECT_TRUE(std::all_of(burnt.begin() + nuv::image::kFirmwareSize, burnt.end(),
                              [](std::uint8_t b) { return b == 0; }));
      EXPECT_EQ(driver.elapsedMs(), 500 + 4000 + 1000);
    }
    EXPECT_FALSE(engine->actionsOverflowed());
  }
}

TEST(FlowEngine, VersionQueries) {
  struct Case {
    std::string name;
    std::function<std::unique_ptr<nuv::flow::Engine>()> make;
    std::vector<std::uint8_t> codes;
    long long elapsedMs;
  };
  const std::vector<Case> cases = {
      {"strict",
       [] { return std::make_unique<StrictFlow>(StrictFlow::Task::Version); },
       {kCmdLink, kCmdVersion},
       0},
      {"echo",
       [] { return std::make_unique<EchoFlow>(EchoFlow::Task::Version); },
       {kCmdLink, kCmdVersion},
       500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    nuv::sim::UpdateDevice device({.version = "1.23"});
    auto engine = c.make();
    FlowDriver driver(*engine, device);
    driver.run({});
    ASSERT_TRUE(engine->finished());
    const Outcome& o = *engine->outcome();
    EXPECT_EQ(o.kind, OutcomeKind::Completed);
    EXPECT_EQ(o.step, Step::Version);
    EXPECT_EQ(o.deviceVersion, (std::array<std::uint8_t, 4>{'1', '.', '2', '3'}));
    EXPECT_EQ(o.deviceState, DeviceState::Untouched);
    EXPECT_EQ(codesOf(driver), c.codes);
    EXPECT_EQ(driver.elapsedMs(), c.elapsedMs);
    EXPECT_EQ(driver.lines().back(), "Version:1.23");
  }
}

TEST(FlowEngine, RefusalsSendNothingOrNothingThatErases) {
  auto wrongSize = nuv::test::imageForFlowTests();
  wrongSize.pop_back();
  auto wrongVersion = nuv::test::imageForFlowTests();
  wrongVersion[1] = '2';  // "V2.01"
  struct Case {
    std::string name;
    Flow flow;
    std::vector<std::uint8_t> image;
    std::string deviceVersion;
    OutcomeKind kind;
    std::optional<nuv::flow::RefusalReason> reason;
    std::size_t reportsSent;
  };
  const auto good = nuv::test::imageForFlowTests();
  const std::vector<Case> cases = {
      {"strict size", Flow::Strict, wrongSize, "1.01", OutcomeKind::ImageRefused,
       nuv::flow::RefusalReason::Size, 0},
      {"strict version", Flow::Strict, wrongVersion, "1.01", OutcomeKind::ImageRefused,
       nuv::flow::RefusalReason::Version, 0},
      {"strict device version", Flow::Strict, good, "2.01", OutcomeKind::DeviceVersionRefused,
       std::nullopt, 2},
      {"echo size", Flow::Echo, wrongSize, "1.01", OutcomeKind::ImageRefused,
       nuv::flow::RefusalReason::Size, 0},
      // The echo flow looks at neither the image's version text nor the device's version.
      {"echo version", Flow::Echo, wrongVersion, "2.01", OutcomeKind::Completed, std::nullopt,
       2 + 1 + nuv::image::MacImageWalk::kWriteCount + 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    nuv::sim::UpdateDevice device({.version = c.deviceVersion});
    auto engine = downloadEngine(c.flow);
    FlowDriver driver(*engine, device);
    driver.run(c.image);
    ASSERT_TRUE(engine->finished());
    EXPECT_EQ(engine->outcome()->kind, c.kind);
    EXPECT_EQ(engine->outcome()->reason, c.reason);
    EXPECT_EQ(driver.sent().size(), c.reportsSent);
    if (c.kind != OutcomeKind::Completed) {
      EXPECT_EQ(engine->outcome()->deviceState, DeviceState::Untouched);
    }
  }
}

// ---- every device fault at every step ------------------------------------------------------

struct FaultStep {
  std::string_view name;
  nuv::sim::Trigger trigger;
  bool repeat;
};
constexpr nuv::sim::Trigger atCode(std::uint8_t code) {
  return {nuv::sim::Trigger::Kind::AtCode, code};
}
constexpr nuv::sim::Trigger atAddress(std::uint32_t a) {
  return {nuv::sim::Trigger::Kind::AtAddress, a};
}
const std::array<FaultStep, 8> kFaultSteps = {{
    {"link+", atCode(kCmdLink), true},
    {"version+", atCode(kCmdVersion), true},
    {"format+", atCode(kCmdFormat), true},
    {"0x0000", atAddress(0x0000), false},
    {"0x1000", atAddress(0x1000), false},
    {"0x2000", atAddress(0x2000), false},
    {"0xFBFC", atAddress(0xFBFC), false},
    {"burn+", atCode(kCmdBurn), true},
}};

struct FaultRow {
  std::string_view name;
  FaultKind kind;
  std::chrono::milliseconds delay;
  // Per step; nothing: the flow waits for ever (echo, no stall limit).
  std::array<std::optional<OutcomeKind>, 8> strict;
  std::array<std::optional<OutcomeKind>, 8> echo;
};

constexpr auto C = OutcomeKind::Completed;
constexpr auto T = OutcomeKind::Timeout;
constexpr auto D = OutcomeKind::DataError;
constexpr auto N = OutcomeKind::NoResponse;
constexpr auto W = OutcomeKind::WriteFailed;
constexpr auto G = OutcomeKind::DeviceGone;
constexpr auto E = OutcomeKind::EchoMismatch;
constexpr auto V = OutcomeKind::DeviceVersionRefused;
constexpr std::optional<OutcomeKind> H;  // hangs

// clang-format off
// Steps: link, version, format, 0x0000, 0x1000, 0x2000, 0xFBFC, burn.
const std::vector<FaultRow> kFaultRows = {
  {"no-reply",      FaultKind::NoReply,       0ms,    {T, T, T, T, T, T, T, T}, {H, C, H, H, H, H, H, H}},
  {"late:5000",     FaultKind::LateReply,     5000ms, {T, T, T, T, T, T, T, T}, {C, C, C, C, C, C, C, C}},
  {"late:4100",     FaultKind::LateReply,     4100ms, {C, C, C, C, C, C, C, C}, {C, C, C, C, C, C, C, C}},
  {"late:4300",     FaultKind::LateReply,     4300ms, {T, T, T, T, T, T, T, T}, {C, C, C, C, C, C, C, C}},
  // The copy arrives after the next command went out and is taken as its reply.
  {"duplicate",     FaultKind::Duplicate,     0ms,    {D, D, D, D, D, D, D, C}, {C, C, C, E, E, E, E, C}},
  {"code-zero",     FaultKind::ReplyCodeZero, 0ms,    {N, N, N, N, N, N, N, N}, {H, C, H, H, H, H, H, H}},
  {"wrong-code",    FaultKind::WrongCode,     0ms,    {D, D, D, D, D, D, D, D}, {H, C, H, H, H, H, H, H}},
  {"wrong-address", FaultKind::WrongAddress,  0ms,    {D, D, D, D, D, D, D, D}, {C, C, C, E, E, E, E, C}},
  {"wrong-data",    FaultKind::WrongData,     0ms,    {C, V, C, C, C, C, C, C}, {C, C, C, E, E, E, E, C}},
  {"short-report",  FaultKind::ShortReport,   0ms,    {C, C, C, C, C, C, C, C}, {H, C, H, H, H, H, H, H}},
  {"write-failure", FaultKind::WriteFailure,  0ms,    {W, W, W, W, W, W, W, W}, {H, C, H, W, W, W, W, H}},
  {"unplug",        FaultKind::Unplug,        0ms,    {G, G, G, G, G, G, G, G}, {G, C, G, G, G, G, G, G}},
};
// clang-format on

TEST(FlowEngine, DeviceFaultsAtEveryStep) {
  const auto image = nuv::test::imageForFlowTests();
  for (const FaultRow& row : kFaultRows) {
    for (std::size_t s = 0; s < kFaultSteps.size(); ++s) {
      for (Flow flow : {Flow::Strict, Flow::Echo}) {
        const FaultStep& step = kFaultSteps[s];
        SCOPED_TRACE(std::string(flow == Flow::Strict ? "strict " : "echo ") +
                     std::string(row.name) + "@" + std::string(step.name));
        nuv::sim::UpdateDevice device(
            {.faults = {{row.kind, step.trigger, row.delay, step.repeat}}});
        auto engine = downloadEngine(flow);
        FlowDriver driver(*engine, device);
        driver.run(image);
        const auto want = flow == Flow::Strict ? row.strict[s] : row.echo[s];
        if (!want) {
          EXPECT_FALSE(engine->finished());
          EXPECT_FALSE(driver.wakePending()) << "a wait for ever asks for no wake";
          continue;
        }
        ASSERT_TRUE(engine->finished());
        const Outcome& o = *engine->outcome();
        EXPECT_EQ(o.kind, *want) << nuv::flow::outcomeName(o.kind);
        expectOutcomeAgreesWithDevice(driver, device, o);
        if (o.kind == OutcomeKind::Completed) {
          const auto firmware = nuv::test::firmwareForFlowTests();
          EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), device.burnt().begin()));
        }
      }
    }
  }
}

TEST(FlowEngine, StallLimitEndsOnlyAWaitForAReply) {
  const auto image = nuv::test::imageForFlowTests();
  // No reply to the Write of 0x1000: with a limit the flow ends that long after it was sent.
  nuv::sim::UpdateDevice device({.faults = {{FaultKind::NoReply, atAddress(0x1000)}}});
  auto engine = downloadEngine(Flow::Echo, 10s);
  FlowDriver driver(*engine, device);
  driver.run(image);
  ASSERT_TRUE(engine->finished());
  EXPECT_EQ(engine->outcome()->kind, OutcomeKind::Stalled);
  EXPECT_EQ(engine->outcome()->address, 0x1000);
  EXPECT_EQ(engine->outcome()->deviceState, DeviceState::PartlyWritten);
  EXPECT_EQ(driver.elapsedMs(), 500 + 4000 + 10000);

  // A limit shorter than the flow's own 4 s and 1 s waits does not end them.
  nuv::sim::UpdateDevice healthy;
  auto quick = downloadEngine(Flow::Echo, 300ms);
  FlowDriver second(*quick, healthy);
  second.run(image);
  ASSERT_TRUE(quick->finished());
  EXPECT_EQ(quick->outcome()->kind, OutcomeKind::Completed);
}

TEST(FlowEngine, CancelEndsAtOnceInEveryStep) {
  const auto image = nuv::test::imageForFlowTests();
  struct Case {
    Flow flow;
    Step step;
    int afterSends;  // reports sent in that step before the cancel
  };
  const std::vector<Case> cases = {
      {Flow::Strict, Step::Link, 1},  {Flow::Strict, Step::Version, 1},
      {Flow::Strict, Step::Erase, 1}, {Flow::Strict, Step::Write, 100},
      {Flow::Strict, Step::Burn, 1},  {Flow::Echo, Step::Link, 1},
      {Flow::Echo, Step::Link, 2},    {Flow::Echo, Step::Erase, 1},
      {Flow::Echo, Step::Write, 1},   {Flow::Echo, Step::Write, 100},
      {Flow::Echo, Step::Burn, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.flow == Flow::Strict ? "strict " : "echo ") +
                 std::string(nuv::flow::stepName(c.step)) + " after " +
                 std::to_string(c.afterSends));
    nuv::sim::UpdateDevice device;
    auto engine = downloadEngine(c.flow);
    FlowDriver driver(*engine, device);
    Step current = Step::Image;
    int sends = 0;
    driver.onAction = [&](const nuv::flow::Action& action) {
      if (const auto* began = std::get_if<nuv::flow::StepBegan>(&action)) {
        current = began->step;
        sends = 0;
      }
      if (std::holds_alternative<nuv::flow::SendReport>(action) && current == c.step &&
          ++sends == c.afterSends)
        driver.engine().cancel(driver.now());
    };
    driver.run(image);
    ASSERT_TRUE(engine->finished());
    EXPECT_EQ(engine->outcome()->kind, OutcomeKind::Cancelled);
    expectOutcomeAgreesWithDevice(driver, device, *engine->outcome());
  }
}

TEST(FlowEngine, SameEventsGiveSameActions) {
  const auto image = nuv::test::imageForFlowTests();
  for (Flow flow : {Flow::Strict, Flow::Echo}) {
    std::vector<std::string> traces[2];
    for (auto& trace : traces) {
      nuv::sim::UpdateDevice device({.faults = {{FaultKind::LateReply, atAddress(0x2000), 3000ms},
                                                {FaultKind::WrongAddress, atAddress(0x3000)}}});
      auto engine = downloadEngine(flow, 10s);
      FlowDriver driver(*engine, device);
      driver.keepTrace = true;
      driver.run(image);
      trace = driver.trace();
    }
    EXPECT_GT(traces[0].size(), 9000u);
    EXPECT_TRUE(traces[0] == traces[1]);
  }
}

// ---- the read-back ----------------------------------------------------------------------------

TEST(FlowEngine, VerifyReadsTheDeviceBack) {
  const auto image = nuv::test::imageForFlowTests();
  struct Case {
    std::string name;
    Flow downloadedWith;  // before the read-back
    bool withTail;
    std::optional<nuv::sim::Fault> fault;
    OutcomeKind kind;
    std::optional<std::uint16_t> address;
  };
  const std::vector<Case> cases = {
      {"after strict", Flow::Strict, false, std::nullopt, C, 0xFBFC},
      {"after echo, with the tail", Flow::Echo, true, std::nullopt, C, 0xFFFC},
      // The strict flow leaves the old memory above the firmware.
      {"after strict, with the tail", Flow::Strict, true, std::nullopt, OutcomeKind::VerifyMismatch,
       0xFC00},
      {"wrong data", Flow::Strict, false, nuv::sim::Fault{FaultKind::WrongData, atAddress(0x2000)},
       OutcomeKind::VerifyMismatch, 0x2000},
      {"wrong address", Flow::Strict, false,
       nuv::sim::Fault{FaultKind::WrongAddress, atAddress(0x2000)}, D, 0x2000},
      {"no reply", Flow::Strict, false, nuv::sim::Fault{FaultKind::NoReply, atAddress(0x2000)}, T,
       0x2000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    nuv::sim::UpdateDevice device;
    auto download = downloadEngine(c.downloadedWith);
    FlowDriver(*download, device).run(image);
    ASSERT_EQ(download->outcome()->kind, C);
    // Faults armed now hit the read-back's Reads, not the download's Writes.
    if (c.fault) device.addFault(*c.fault);
    VerifyFlow verify(c.withTail);
    FlowDriver driver(verify, device);
    driver.run(image);
    ASSERT_TRUE(verify.finished());
    const Outcome& o = *verify.outcome();
    EXPECT_EQ(o.kind, c.kind);
    EXPECT_EQ(o.step, Step::Read);
    EXPECT_EQ(o.deviceState, DeviceState::Untouched);
    if (c.kind == C) {
      EXPECT_EQ(driver.sent().size(), (c.withTail ? 0x10000u : 0xFC00u) / 4);
    } else {
      EXPECT_EQ(o.address, c.address);
    }
    if (c.kind == OutcomeKind::VerifyMismatch) {
      EXPECT_GT(o.mismatchedBytes, 0u);
    }
  }
}

}  // namespace
