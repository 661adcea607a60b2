// The engine and the windows in step: for every device fault at every step of a download, and
// for random schedules of faults, Vornex's window and the strict engine, and QuenlorHID's
// window and the echo engine, send the device the same reports in the same order and end the
// same way.
//
// The windows run as the fault matrix runs them (tests/test_fault_matrix.cpp): Vornex's on a
// clock the test moves a timer period at a time while a reply is withheld, QuenlorHID's on a
// run loop that jumps from one delayed step to the next. The engines run on the flow driver
// against a device with the same faults.
//
// Where they cannot agree, and why:
// - The echo flow waits for ever for a reply that does not come; the engine with a stall limit
//   ends that wait with `stalled` (every cell the window hangs in, checked cell by cell below).
// - Vornex's window does not watch for an unplug during a flow (it times out), so its engine's
//   runner here does not report one either; a runner that does gets device_gone at once.
// - A duplicate reply races with Vornex's next send: the window drops a copy handed over
//   before it sends and takes a later one as the next reply. The engine is run both ways and
//   the window must match one of them.
// - Vornex's window shows a report that could not be sent as "Data error"; the engine says
//   write_failed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>

#include "mac/AppDelegate.h"
#include "platform/cocoa/Headless.h"
#include "platform/forms/Headless.h"
#include "platform/iohid/Sim.h"
#include "platform/winapi/Sim.h"
#include "protocol/Log.h"
#include "sim/VirtualBus.h"
#include "tests/test_fault_cells.h"
#include "win/app/Unit1.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using nuv::flow::OutcomeKind;
using nuv::sim::Fault;
using nuv::sim::FaultKind;
using nuv::sim::Trigger;
using nuv::test::Flow;

using Commands = std::vector<std::array<std::uint8_t, 8>>;

// How a run ended: an outcome, or nothing when it waits for ever.
struct RunResult {
  Commands commands;  // as the device received them
  std::optional<OutcomeKind> outcome;
  // Refresh reports the device received before the flow began (Vornex sends one when it
  // builds its device list): they count among the commands a fault's "#N" counts.
  std::uint32_t refreshesBefore = 0;
};

Commands commandsOf(const nuv::sim::UpdateDevice& device) {
  Commands out;
  for (const auto& record : device.commands()) {
    if (record.code() == kCmdRefresh) continue;  // sent on a device-list rebuild, not by a flow
    std::array<std::uint8_t, 8> c{};
    std::copy_n(record.command(), 8, c.begin());
    out.push_back(c);
  }
  return out;
}

// The update device behind the window's bus: the device with the faults, answering through a
// script so that the test knows when each reply is due.
class RecordingDevice final : public nuv::sim::ScriptedDevice {
 public:
  RecordingDevice(const nuv::Clock& clock, std::vector<Fault> faults)
      : clock_(clock), inner_(nuv::sim::UpdateDeviceOptions{.faults = std::move(faults)}) {}

  nuv::sim::DeviceResponse answer(const std::uint8_t* raw, std::size_t len) override {
    nuv::sim::DeviceResponse response = inner_.receive(raw, len);
    std::lock_guard lock(mutex_);
    replyDue_ =
        response.copies > 0 ? std::optional(clock_.now() + response.extraDelay) : std::nullopt;
    unplugged_ = unplugged_ || response.unplug;
    return response;
  }
  // When the reply to the last command becomes readable; nothing when none comes.
  [[nodiscard]] std::optional<nuv::Clock::time_point> replyDue() const {
    std::lock_guard lock(mutex_);
    return replyDue_;
  }
  [[nodiscard]] bool unplugged() const {
    std::lock_guard lock(mutex_);
    return unplugged_;
  }
  [[nodiscard]] const nuv::sim::UpdateDevice& device() const { return inner_; }

 private:
  const nuv::Clock& clock_;
  nuv::sim::UpdateDevice inner_;
  mutable std::mutex mutex_;
  std::optional<nuv::Clock::time_point> replyDue_;
  bool unplugged_ = false;
};

std::optional<OutcomeKind> strictOutcome(const FlowOutcome& o) {
  switch (o.result) {
    case FlowResult::Completed:
      return OutcomeKind::Completed;
    case FlowResult::DeviceVersion:
      return OutcomeKind::DeviceVersionRefused;
    case FlowResult::ImageSize:
    case FlowResult::ImageVersion:
      return OutcomeKind::ImageRefused;
    case FlowResult::FileError:
      return OutcomeKind::FileError;
    case FlowResult::Stopped:
      return OutcomeKind::Cancelled;
    case FlowResult::None:
      return std::nullopt;
    case FlowResult::ExchangeFailed:
      break;
  }
  switch (o.resultCode) {
    case ResultTimeout:
      return OutcomeKind::Timeout;
    case ResultNoResponse:
      return OutcomeKind::NoResponse;
    case ResultNoDevice:
      return OutcomeKind::NoDevice;
    default:
      return OutcomeKind::DataError;  // also a report that could not be sent
  }
}

class QuietLog final : public nuv::LogSink {
 public:
  void write(std::string_view) override {}
};

// Vornex's window, the Download button clicked with the image chosen.
RunResult runStrictWindow(const std::vector<Fault>& faults, const std::string& imagePath) {
  nuv::ManualClock clock;
  nuv::sim::VirtualBus bus(clock);
  nuv::forms::HeadlessGui gui(clock);
  clock.setListener([&] {
    bus.timeAdvanced();
    gui.wakeUp();
  });
  auto recording = std::make_shared<RecordingDevice>(clock, faults);
  (void)bus.plug({}, {.script = recording});
  auto api = nuv::winapi::makeSimApi(bus, &gui);
  auto process = std::make_unique<nuv::hid::HidProcess>(*api, gui);
  auto form = std::make_unique<TMainForm>(gui, *process);
  // The reader threads' wait between reads, in real time: the window's 200 ms would cost every
  // run a fifth of a second; the flow runs on the test's clock either way.
  form->HidCtl->SetDevThreadSleepTime(10);
  gui.setMainForm(*form);
  gui.activateMainForm();
  gui.processMessages();
  gui.queueOpenDialogAnswer(imagePath);
  const std::uint32_t refreshesBefore = recording->device().countOf(kCmdRefresh);
  // Called when the window waits with nothing handed over: a reply that is readable is on its
  // way through the reader thread (real time); otherwise time moves on a timer period.
  gui.onIdle = [&] {
    const auto due = recording->replyDue();
    if (due && *due <= clock.now() && !recording->unplugged()) {
      (void)gui.waitForSynchronize(100ms);  // readable: on its way to the window
      return;
    }
    clock.advance(200ms);
    // A reply due now is handed over before the tick of this moment is processed.
    const auto dueNow = recording->replyDue();
    if (dueNow && *dueNow <= clock.now() && !recording->unplugged())
      (void)gui.waitForSynchronize(10s);
  };
  form->Write_car.click();
  gui.onIdle = nullptr;
  RunResult result{commandsOf(recording->device()), strictOutcome(form->lastOutcome()),
                   refreshesBefore};
  gui.processMessages();
  form.reset();
  process.reset();
  api.reset();
  return result;
}

// QuenlorHID's window, the Download button clicked with the image chosen.
RunResult runEchoWindow(const std::vector<Fault>& faults, const std::string& imagePath) {
  using nuv::mac::HIDStatusIdle;
  nuv::cocoa::HeadlessApplication app;
  auto& loop = app.runLoop();
  nuv::sim::VirtualBus bus(loop.clock());
  loop.setClockMovedHook([&] { bus.timeAdvanced(); });
  auto recording = std::make_shared<RecordingDevice>(loop.clock(), faults);
  (void)bus.plug({}, {.script = recording});
  nuv::mac::AppDelegate delegate(app, [&] { return nuv::iohid::createSimHIDManager(bus); });
  delegate.setWindow(&app.mainWindow());
  delegate.applicationDidFinishLaunching();
  loop.runUntilIdle();
  nuv::mac::HIDViewController& controller = *delegate.viewController();
  app.setOpenPanelResponder([imagePath] {
    return nuv::cocoa::OpenPanelResult{nuv::cocoa::kModalResponseOK, {imagePath}};
  });
  (void)app.nib()->downloadButton.click();
  const auto idle = [&] { return controller.currentStatus() == HIDStatusIdle; };
  bool unplugSeen = false;
  for (int chunk = 0; chunk < 200; ++chunk) {
    const auto unplugPending = [&] { return recording->unplugged() && !unplugSeen; };
    if (!loop.advanceUntil([&] { return idle() || unplugPending(); }, 10min)) {
      if (loop.nextTimerAt()) continue;  // slow replies: more than ten minutes of them
      break;
    }
    if (idle()) break;
    // The unplug is told from a thread of the bus: wait for it (real time).
    for (int i = 0; i < 1000 && controller.currentDevice() != nullptr; ++i) {
      (void)loop.waitForSignal(10ms);
      loop.runUntilIdle();
    }
    unplugSeen = true;
  }
  RunResult result{commandsOf(recording->device()), std::nullopt};
  if (!idle()) return result;  // waits for ever
  const std::string status = app.nib()->statusTextField.stringValue();
  if (status == "Finished") {
    result.outcome = OutcomeKind::Completed;
  } else if (status.rfind("Error on writing address", 0) == 0) {
    result.outcome = OutcomeKind::EchoMismatch;
  } else if (status == "User canceled") {
    result.outcome = OutcomeKind::WriteFailed;  // no Stop was clicked: a Write failed to go out
  } else if (status == "idle") {
    result.outcome = OutcomeKind::DeviceGone;
  } else {
    ADD_FAILURE() << "an end the test does not know: " << status;
  }
  return result;
}

RunResult runEngine(Flow flow, const std::vector<Fault>& faults,
                    const std::vector<std::uint8_t>& image,
                    nuv::test::EngineRunOptions options = {}) {
  // Vornex's window does not watch for an unplug during a flow.
  options.reportUnplug = flow == Flow::Echo;
  const nuv::test::EngineRun run = nuv::test::runDownloadEngine(flow, faults, image, options);
  RunResult result{commandsOf(*run.device), std::nullopt};
  if (run.outcome) result.outcome = run.outcome->kind;
  return result;
}

std::string describe(const RunResult& r) {
  std::ostringstream out;
  out << r.commands.size() << " commands";
  if (!r.commands.empty()) {
    const auto& last = r.commands.back();
    out << " (last: code 0x" << std::hex << int{last[0]} << " address 0x"
        << (last[1] | last[2] << 8) << std::dec << ")";
  }
  out << ", " << (r.outcome ? std::string(nuv::flow::outcomeName(*r.outcome)) : "waits for ever");
  return out.str();
}

bool outcomesAgree(Flow flow, const std::optional<OutcomeKind>& window,
                   const std::optional<OutcomeKind>& engine) {
  if (flow == Flow::Strict && window == OutcomeKind::DataError &&
      engine == OutcomeKind::WriteFailed)
    return true;
  return window == engine;
}

bool agree(Flow flow, const RunResult& window, const RunResult& engine) {
  return window.commands == engine.commands && outcomesAgree(flow, window.outcome, engine.outcome);
}

class FlowDifferential : public nuv::test::ImageFileTest {
 protected:
  FlowDifferential() : ImageFileTest("nuv-flow-differential-") {}

  // Runs one schedule in one flow; true when the window and the engine agree. The engine's
  // result is returned through `engineOut`.
  bool compare(Flow flow, const std::vector<Fault>& faults, const std::string& label,
               RunResult* engineOut = nullptr) {
    const RunResult window = flow == Flow::Strict ? runStrictWindow(faults, imagePath_)
                                                  : runEchoWindow(faults, imagePath_);
    RunResult engine = runEngine(flow, faults, image_, {.refreshesBefore = window.refreshesBefore});
    bool same = agree(flow, window, engine);
    if (!same && flow == Flow::Strict) {
      engine =
          runEngine(flow, faults, image_,
                    {.dropArrivedBeforeSend = true, .refreshesBefore = window.refreshesBefore});
      same = agree(flow, window, engine);
    }
    if (!same)
      ADD_FAILURE() << label << ": the window sent " << describe(window) << "; the engine "
                    << describe(engine);
    if (engineOut != nullptr) *engineOut = engine;
    return same;
  }

  // 250 random schedules from `firstSeed` on, each in both flows.
  void runRandomSchedules(std::uint32_t firstSeed);
};

// ---- the fault matrix's cells ------------------------------------------------------------------

// The echo cells in which the window waits for ever: there, and only there, the engine with a
// stall limit ends with `stalled` instead. They are the faults that leave a command without a
// reply the window takes, at every step but Version (which the echo flow never sends), and a
// failed send of anything but a Write.
std::set<std::string> echoCellsThatWaitForEver() {
  std::set<std::string> cells;
  for (std::string_view kind : {"no-reply", "code-zero", "wrong-code", "short-report"})
    for (const nuv::test::FaultStep& step : nuv::test::kFaultSteps)
      if (step.where != "version+") cells.insert(std::string(kind) + "@" + std::string(step.where));
  for (std::string_view where : {"link+", "format+", "burn+"})
    cells.insert("write-failure@" + std::string(where));
  return cells;
}

TEST_F(FlowDifferential, EveryCellOfTheFaultMatrix) {
  QuietLog quiet;
  nuv::ScopedLogSink logScope(quiet);
  std::set<std::string> stalledCells;
  for (const nuv::test::DeviceFault& f : nuv::test::kDeviceFaults) {
    for (const nuv::test::FaultStep& step : nuv::test::kFaultSteps) {
      const std::string cell = std::string(f.kind) + "@" + std::string(step.where);
      const std::vector<Fault> faults = {nuv::test::faultAt(f, step)};
      (void)compare(Flow::Strict, faults, "strict " + cell);
      RunResult engine;
      if (!compare(Flow::Echo, faults, "echo " + cell, &engine)) continue;
      // The same cell with the stall limit the front ends use.
      const RunResult limited = runEngine(Flow::Echo, faults, image_, {.stallLimit = 10s});
      EXPECT_EQ(limited.commands, engine.commands) << cell;
      if (!engine.outcome) {
        EXPECT_EQ(limited.outcome, OutcomeKind::Stalled) << cell;
        stalledCells.insert(cell);
      } else {
        EXPECT_EQ(limited.outcome, engine.outcome) << cell;
      }
    }
  }
  EXPECT_EQ(stalledCells, echoCellsThatWaitForEver());
}

// ---- random schedules ------------------------------------------------------------------------

// How many commands a random schedule lets the strict flow send: a fault after them ends it,
// so that a schedule costs Vornex's window (whose reports cross threads) a fraction of a
// download. The echo flow runs to its end.
constexpr std::uint32_t kStrictCommands = 400;

// One to three faults at random commands, addresses or codes. Late replies avoid 3.9 to 4.3 s,
// where a reply and Vornex's time-out fall in one tick of its timer.
std::vector<Fault> randomSchedule(std::mt19937& rng) {
  static constexpr std::array<FaultKind, 10> kKinds = {
      FaultKind::NoReply,      FaultKind::ReplyCodeZero, FaultKind::WrongCode,
      FaultKind::WrongAddress, FaultKind::WrongData,     FaultKind::ShortReport,
      FaultKind::Duplicate,    FaultKind::LateReply,     FaultKind::WriteFailure,
      FaultKind::Unplug};
  static constexpr std::array<std::chrono::milliseconds, 4> kDelays = {300ms, 2050ms, 3500ms,
                                                                       5000ms};
  static constexpr std::array<std::uint8_t, 5> kCodes = {kCmdLink, kCmdFormat, kCmdWrite, kCmdBurn,
                                                         kCmdVersion};
  const auto pick = [&](std::uint32_t n) {
    return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(rng);
  };
  std::vector<Fault> faults(1 + pick(3));
  for (Fault& f : faults) {
    f.kind = kKinds[pick(kKinds.size())];
    f.delay = kDelays[pick(kDelays.size())];
    // Half of the triggers fall where the strict flow, cut short below, still goes.
    switch (pick(6)) {
      // Command 1 is Vornex's Refresh, before the flow, and the echo flow's resetting Link,
      // which the link triggers reach.
      case 0:
        f.when = {Trigger::Kind::AtCommand, 2 + pick(8)};
        break;
      case 1:
        f.when = {Trigger::Kind::AtCommand, 2 + pick(kStrictCommands)};
        break;
      case 2:
        f.when = {Trigger::Kind::AtCommand, 2 + pick(16400)};
        break;
      case 3:
        f.when = nuv::test::atAddress(4 * pick(kStrictCommands));
        break;
      case 4:
        f.when = nuv::test::atAddress(4 * pick(0x4000));
        break;
      default:
        f.when = nuv::test::atCode(kCodes[pick(kCodes.size())]);
        break;
    }
    f.repeat = pick(5) == 0;
  }
  return faults;
}

std::string describe(const std::vector<Fault>& faults) {
  std::string out;
  for (const Fault& f : faults) {
    out += std::string(nuv::sim::faultName(f.kind)) + ":" + std::to_string(f.delay.count()) + "@" +
           std::to_string(static_cast<int>(f.when.kind)) + "/" + std::to_string(f.when.value) +
           (f.repeat ? "+ " : " ");
  }
  return out;
}

void FlowDifferential::runRandomSchedules(std::uint32_t firstSeed) {
  QuietLog quiet;
  nuv::ScopedLogSink logScope(quiet);
  for (std::uint32_t seed = firstSeed; seed < firstSeed + 250; ++seed) {
    std::mt19937 rng(seed);
    const std::vector<Fault> faults = randomSchedule(rng);
    const std::string seedText = "seed " + std::to_string(seed) + ": ";
    (void)compare(Flow::Echo, faults, "echo " + seedText + describe(faults));
    // Which copy of a duplicate reply Vornex's window drops is a race of its threads: the
    // matrix's cells hold it to the engine one duplicate at a time, the schedules leave it out.
    std::vector<Fault> bounded;
    std::copy_if(faults.begin(), faults.end(), std::back_inserter(bounded),
                 [](const Fault& f) { return f.kind != FaultKind::Duplicate; });
    bounded.push_back(
        {FaultKind::NoReply,
         {Trigger::Kind::AtCommand, 2 + static_cast<std::uint32_t>(rng() % kStrictCommands)}});
    (void)compare(Flow::Strict, bounded, "strict " + seedText + describe(bounded));
  }
}

// 1,000 schedules, fixed seeds, in four parts that CTest can run side by side.
TEST_F(FlowDifferential, RandomSchedulesPart1) {
  runRandomSchedules(0);
}
TEST_F(FlowDifferential, RandomSchedulesPart2) {
  runRandomSchedules(250);
}
TEST_F(FlowDifferential, RandomSchedulesPart3) {
  runRandomSchedules(500);
}
TEST_F(FlowDifferential, RandomSchedulesPart4) {
  runRandomSchedules(750);
}

}  // namespace
