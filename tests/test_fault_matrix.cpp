// Every fault of the emulated update device at every step of a download, in both flows: what
// each window shows and what became of the device, and what the update engine that vornex-cli
// runs ends with, and never a success unless the device holds the image. The tables below are
// the products' behaviour; docs/faults.md is rendered from them (NUV_UPDATE_DOCS=1 writes it
// instead of comparing).
//
// Each cell runs three times in this process, on clocks the test moves so that a time-out costs
// no real time: Vornex's and QuenlorHID's windows with the Download button clicked and the
// image chosen, and the engine on the flow driver, with the terminal's stall limit and an
// unplug told at once, as vornex-cli's runner tells it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/EngineCommands.h"
#include "cli/Options.h"
#include "flow/Outcome.h"
#include "mac/AppDelegate.h"
#include "platform/cocoa/Headless.h"
#include "platform/forms/Headless.h"
#include "platform/iohid/Sim.h"
#include "platform/winapi/Sim.h"
#include "protocol/HIDProto.h"
#include "protocol/Log.h"
#include "protocol/UpdateImage.h"
#include "sim/VirtualBus.h"
#include "tests/test_fault_cells.h"
#include "win/app/Unit1.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// ---- the matrix's axes ----------------------------------------------------------------------

using nuv::flow::OutcomeKind;
using nuv::test::Flow;
using Step = nuv::test::FaultStep;
constexpr std::size_t kSteps = nuv::test::kFaultStepCount;
const auto& kStepList = nuv::test::kFaultSteps;
constexpr std::size_t kFaultCount = nuv::test::kDeviceFaultCount;

// The echo flow's stall limit in the terminal.
const std::chrono::seconds kStallLimit{nuv::cli::Options{}.stallSeconds};

// The sections of docs/faults.md, in the order of nuv::test::kDeviceFaults.
const std::array<std::string_view, kFaultCount> kFaultTitles = {
    "No reply",
    "Late reply, beyond the 4 s time-out",
    "Late reply, within the 4 s time-out",
    "Duplicate reply",
    "Reply code 0",
    "Wrong reply code",
    "Wrong address echoed",
    "Wrong data echoed",
    "Short report (5 bytes)",
    "Write failure (the host cannot send)",
    "Unplug",
};

// ---- what a cell ends with --------------------------------------------------------------------

enum class Device { Untouched, Erased, Burnt };

// What the window shows at its end and what became of the device, and the engine's outcome. In
// `status` and `message`, "{a}" stands for the step's address as the echo flow prints it,
// "{next}" for the address after it.
struct Outcome {
  std::string_view status;   // the window's last status line
  std::string_view message;  // its error box or alert, empty when none
  bool waitsForEver;         // the window's flow does not end by itself
  Device device;
  OutcomeKind engine;  // the engine's end, with the terminal's stall limit
};

// What a cell ends with; in a few cells the window ends one of two ways, as a race between a
// duplicate reply and its next send decides. The engine's runner reads replies in order and
// takes the copy as the next command's reply: the second way.
struct Expected {
  constexpr Expected(Outcome only) : outcome(only) {}  // NOLINT: the table's plain cells
  constexpr Expected(Outcome first, Outcome second) : outcome(first), orElse(second) {}
  [[nodiscard]] const Outcome& engineEnd() const { return orElse ? *orElse : outcome; }
  Outcome outcome;
  std::optional<Outcome> orElse;
};
constexpr Expected either(Outcome first, Outcome second) {
  return {first, second};
}

// The strict flow: the failure text is both the red status line and the error box.
constexpr Outcome strictFailure(std::string_view text, Device device, OutcomeKind engine) {
  return {text, text, false, device, engine};
}
constexpr Outcome kCompleted{"Update Completed", "", false, Device::Burnt, OutcomeKind::Completed};
constexpr Outcome kTimeOut =
    strictFailure("Time out  error", Device::Untouched, OutcomeKind::Timeout);
constexpr Outcome kTimeOutErased =
    strictFailure("Time out  error", Device::Erased, OutcomeKind::Timeout);
constexpr Outcome kTimeOutBurnt =
    strictFailure("Time out  error", Device::Burnt, OutcomeKind::Timeout);
constexpr Outcome kDataError =
    strictFailure("Data error", Device::Untouched, OutcomeKind::DataError);
constexpr Outcome kDataErrorErased =
    strictFailure("Data error", Device::Erased, OutcomeKind::DataError);
constexpr Outcome kDataErrorBurnt =
    strictFailure("Data error", Device::Burnt, OutcomeKind::DataError);
constexpr Outcome kNoRespond =
    strictFailure("No  respond", Device::Untouched, OutcomeKind::NoResponse);
constexpr Outcome kNoRespondErased =
    strictFailure("No  respond", Device::Erased, OutcomeKind::NoResponse);
constexpr Outcome kNoRespondBurnt =
    strictFailure("No  respond", Device::Burnt, OutcomeKind::NoResponse);
// A report that could not be sent: the window calls it a data error.
constexpr Outcome kSendFailed =
    strictFailure("Data error", Device::Untouched, OutcomeKind::WriteFailed);
constexpr Outcome kSendFailedErased =
    strictFailure("Data error", Device::Erased, OutcomeKind::WriteFailed);
// An unplug: the window times out; the terminal's runner tells the engine at once.
constexpr Outcome kGone =
    strictFailure("Time out  error", Device::Untouched, OutcomeKind::DeviceGone);
constexpr Outcome kGoneErased =
    strictFailure("Time out  error", Device::Erased, OutcomeKind::DeviceGone);
constexpr Outcome kGoneBurnt =
    strictFailure("Time out  error", Device::Burnt, OutcomeKind::DeviceGone);
constexpr Outcome kDeviceVersionRefused{"Get version...", "Device ver is error", false,
                                        Device::Untouched, OutcomeKind::DeviceVersionRefused};

// The echo flow.
constexpr Outcome kFinished{"Finished", "", false, Device::Burnt, OutcomeKind::Completed};
constexpr Outcome kWrongEcho{"Error on writing address: 0x{a}",
                             "Error on writing address: 0x{a}. Writing operation will be canceled",
                             false, Device::Erased, OutcomeKind::EchoMismatch};
constexpr Outcome kWrongEchoOfNext{
    "Error on writing address: 0x{next}",
    "Error on writing address: 0x{next}. Writing operation will be canceled", false, Device::Erased,
    OutcomeKind::EchoMismatch};
constexpr Outcome kWentAway{"idle", "", false, Device::Untouched, OutcomeKind::DeviceGone};
constexpr Outcome kWentAwayErased{"idle", "", false, Device::Erased, OutcomeKind::DeviceGone};
constexpr Outcome kWentAwayBurnt{"idle", "", false, Device::Burnt, OutcomeKind::DeviceGone};
// A Write that could not be sent: nobody pressed Stop.
constexpr Outcome kCanceledErased{"User canceled", "", false, Device::Erased,
                                  OutcomeKind::WriteFailed};
// The window waits for ever; the engine ends the wait at the stall limit.
constexpr Outcome hangs(std::string_view status, Device device) {
  return {status, "", true, device, OutcomeKind::Stalled};
}
constexpr Outcome kHangsReady = hangs("Ready", Device::Untouched);
constexpr Outcome kHangsInitializing = hangs("Initializing...", Device::Erased);
constexpr Outcome kHangsDownloading = hangs("Downloading...", Device::Erased);
constexpr Outcome kHangsWriting = hangs("Writing address: 0x{a}", Device::Erased);
constexpr Outcome kHangsBurnt = hangs("Complete Writing...", Device::Burnt);

using Row = std::array<Expected, kSteps>;

// clang-format off
// Columns: Link, Version, Format, Write 0x0000, Write 0x1000, Write 0x2000, Write 0xFBFC, Burn.
const std::array<Row, kFaultCount> kStrictTable = {{
  /* no reply      */ {kTimeOut, kTimeOut, kTimeOutErased, kTimeOutErased, kTimeOutErased, kTimeOutErased, kTimeOutErased, kTimeOutBurnt},
  /* late, beyond  */ {kTimeOut, kTimeOut, kTimeOutErased, kTimeOutErased, kTimeOutErased, kTimeOutErased, kTimeOutErased, kTimeOutBurnt},
  /* late, within  */ {kCompleted, kCompleted, kCompleted, kCompleted, kCompleted, kCompleted, kCompleted, kCompleted},
  // The copy is either handed over before the next command goes out (and dropped) or taken as
  // that command's reply.
  /* duplicate     */ {either(kCompleted, kDataError), either(kCompleted, kDataErrorErased), either(kCompleted, kDataErrorErased),
                       either(kCompleted, kDataErrorErased), either(kCompleted, kDataErrorErased), either(kCompleted, kDataErrorErased),
                       either(kCompleted, kDataErrorBurnt), kCompleted},
  /* code zero     */ {kNoRespond, kNoRespond, kNoRespondErased, kNoRespondErased, kNoRespondErased, kNoRespondErased, kNoRespondErased, kNoRespondBurnt},
  /* wrong code    */ {kDataError, kDataError, kDataErrorErased, kDataErrorErased, kDataErrorErased, kDataErrorErased, kDataErrorErased, kDataErrorBurnt},
  /* wrong address */ {kDataError, kDataError, kDataErrorErased, kDataErrorErased, kDataErrorErased, kDataErrorErased, kDataErrorErased, kDataErrorBurnt},
  // Only the code and address bytes of a reply are checked; Version's data is the version.
  /* wrong data    */ {kCompleted, kDeviceVersionRefused, kCompleted, kCompleted, kCompleted, kCompleted, kCompleted, kCompleted},
  /* short report  */ {kCompleted, kCompleted, kCompleted, kCompleted, kCompleted, kCompleted, kCompleted, kCompleted},
  /* write failure */ {kSendFailed, kSendFailed, kSendFailed, kSendFailedErased, kSendFailedErased, kSendFailedErased, kSendFailedErased, kSendFailedErased},
  /* unplug        */ {kGone, kGone, kGoneErased, kGoneErased, kGoneErased, kGoneErased, kGoneErased, kGoneBurnt},
}};

// The echo flow sends no Version command, so a fault there never fires. The window has no
// time-outs: a reply that never comes, or one it ignores, leaves it waiting for ever.
const std::array<Row, kFaultCount> kEchoTable = {{
  /* no reply      */ {kHangsReady, kFinished, kHangsInitializing, kHangsDownloading, kHangsWriting, kHangsWriting, kHangsWriting, kHangsBurnt},
  /* late, beyond  */ {kFinished, kFinished, kFinished, kFinished, kFinished, kFinished, kFinished, kFinished},
  /* late, within  */ {kFinished, kFinished, kFinished, kFinished, kFinished, kFinished, kFinished, kFinished},
  // The copy of a Write's reply arrives as the reply to the next Write.
  /* duplicate     */ {kFinished, kFinished, kFinished, kWrongEchoOfNext, kWrongEchoOfNext, kWrongEchoOfNext, kWrongEchoOfNext, kFinished},
  /* code zero     */ {kHangsReady, kFinished, kHangsInitializing, kHangsDownloading, kHangsWriting, kHangsWriting, kHangsWriting, kHangsBurnt},
  /* wrong code    */ {kHangsReady, kFinished, kHangsInitializing, kHangsDownloading, kHangsWriting, kHangsWriting, kHangsWriting, kHangsBurnt},
  /* wrong address */ {kFinished, kFinished, kFinished, kWrongEcho, kWrongEcho, kWrongEcho, kWrongEcho, kFinished},
  /* wrong data    */ {kFinished, kFinished, kFinished, kWrongEcho, kWrongEcho, kWrongEcho, kWrongEcho, kFinished},
  /* short report  */ {kHangsReady, kFinished, kHangsInitializing, kHangsDownloading, kHangsWriting, kHangsWriting, kHangsWriting, kHangsBurnt},
  /* write failure */ {kHangsReady, kFinished, hangs("Initializing...", Device::Untouched), kCanceledErased, kCanceledErased, kCanceledErased, kCanceledErased,
                       hangs("Complete Writing...", Device::Erased)},
  /* unplug        */ {kWentAway, kFinished, kWentAwayErased, kWentAwayErased, kWentAwayErased, kWentAwayErased, kWentAwayErased, kWentAwayBurnt},
}};
// clang-format on

// ---- running one cell -------------------------------------------------------------------------

struct Observed {
  std::string status;
  std::string message;
  bool waitsForEver = false;
  Device device = Device::Untouched;
};

std::string expand(std::string_view text, const Step& step) {
  std::string out(text);
  for (const auto& [mark, offset] : {std::pair<std::string_view, unsigned>{"{a}", 0},
                                     std::pair<std::string_view, unsigned>{"{next}", 4}}) {
    for (auto at = out.find(mark); at != std::string::npos; at = out.find(mark)) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(step.trigger.value + offset));
      out.replace(at, mark.size(), hex);
    }
  }
  return out;
}

// Whether the device has received the command the fault is set on.
bool fired(const nuv::sim::UpdateDevice& device, const Step& step) {
  if (step.trigger.kind == nuv::sim::Trigger::Kind::AtCode)
    return device.countOf(static_cast<std::uint8_t>(step.trigger.value)) > 0;
  // Both flows write the addresses in order, four bytes apart.
  return device.countOf(kCmdWrite) > step.trigger.value / 4;
}

Device deviceState(const nuv::sim::UpdateDevice& device) {
  if (device.burnCount() > 0) return Device::Burnt;
  return device.formatCount() > 0 ? Device::Erased : Device::Untouched;
}

// The committed memory holds the firmware; the echo flow also wrote zeros above it.
bool holdsImage(const nuv::sim::UpdateDevice& device, const std::vector<std::uint8_t>& firmware,
                Flow flow) {
  const std::vector<std::uint8_t> burnt = device.burnt();
  if (!std::equal(firmware.begin(), firmware.end(), burnt.begin())) return false;
  return flow == Flow::Strict || std::all_of(burnt.begin() + nuv::image::kFirmwareSize, burnt.end(),
                                             [](std::uint8_t b) { return b == 0; });
}

class QuietLog final : public nuv::LogSink {
 public:
  void write(std::string_view) override {}
};

// Vornex's window, the Download button clicked with the image chosen. The clock moves only while
// the window waits for a reply that the fault withholds, one timer period at a time; every other
// reply is handed over before time moves on.
class StrictRun {
 public:
  StrictRun(const nuv::test::DeviceFault& fault, const Step& step)
      : fault_(fault), step_(step), bus_(clock_), gui_(clock_) {
    clock_.setListener([this] {
      bus_.timeAdvanced();
      gui_.wakeUp();
    });
    device_ = bus_.plug({}, {.faults = {nuv::test::faultAt(fault, step)}});
  }
  ~StrictRun() {
    gui_.onIdle = nullptr;
    gui_.processMessages();
    form_.reset();
    process_.reset();
    api_.reset();
  }

  Observed download(const std::string& imagePath) {
    api_ = nuv::winapi::makeSimApi(bus_, &gui_);
    process_ = std::make_unique<nuv::hid::HidProcess>(*api_, gui_);
    form_ = std::make_unique<TMainForm>(gui_, *process_);
    gui_.setMainForm(*form_);
    gui_.activateMainForm();
    gui_.processMessages();
    EXPECT_TRUE(form_->Write_car.enabled());
    gui_.queueOpenDialogAnswer(imagePath);
    gui_.onIdle = [this] { idle(); };
    const std::size_t boxesBefore = gui_.boxes().size();
    form_->Write_car.click();
    gui_.onIdle = nullptr;

    Observed seen;
    seen.status = form_->StatusBar1.panelText();
    const bool green = form_->StatusBar1.color() == kStatusGreen;
    bool exception = false;
    if (gui_.boxes().size() > boxesBefore) {
      seen.message = gui_.boxes().back().text;
      exception = gui_.boxes().back().kind == nuv::forms::BoxKind::Exception;
    }
    // The outcome and what the window shows agree.
    EXPECT_EQ(form_->lastOutcome().result == FlowResult::Completed, green);
    EXPECT_EQ(form_->lastOutcome().result == FlowResult::FileError, exception);
    seen.device = deviceState(*device_);
    return seen;
  }
  [[nodiscard]] const nuv::sim::UpdateDevice& device() const { return *device_; }

 private:
  bool replyWithheld() {
    const bool withholds = fault_.fault == nuv::sim::FaultKind::NoReply ||
                           fault_.fault == nuv::sim::FaultKind::Unplug ||
                           fault_.fault == nuv::sim::FaultKind::LateReply;
    if (!withholds || !fired(*device_, step_)) return false;
    // The first wait after the faulty command was sent is the wait for its reply.
    if (firedAt_ == 0) firedAt_ = device_->commandCount();
    if (device_->commandCount() != firedAt_) return false;
    return fault_.fault != nuv::sim::FaultKind::LateReply || waited_ < fault_.delay;
  }
  void idle() {
    if (gui_.waitForSynchronize(2ms)) {
      stalls_ = 0;
      return;
    }
    if (replyWithheld() || ++stalls_ > 5000) {
      // The second case only keeps a broken run from hanging the test: the product's own
      // time-out then ends it, and the cell's expectations say what is wrong.
      stalls_ = 0;
      clock_.advance(200ms);
      waited_ += 200ms;
      // A late reply due now is handed over before the tick of this moment is processed.
      if (fault_.fault == nuv::sim::FaultKind::LateReply && waited_ >= fault_.delay)
        (void)gui_.waitForSynchronize(10s);
    }
  }

  const nuv::test::DeviceFault& fault_;
  const Step& step_;
  nuv::ManualClock clock_;
  nuv::sim::VirtualBus bus_;
  nuv::forms::HeadlessGui gui_;
  std::shared_ptr<nuv::sim::UpdateDevice> device_;
  std::unique_ptr<nuv::winapi::SimApi> api_;
  std::unique_ptr<nuv::hid::HidProcess> process_;
  std::unique_ptr<TMainForm> form_;
  std::uint32_t firedAt_ = 0;
  std::chrono::milliseconds waited_{0};
  int stalls_ = 0;
};

// QuenlorHID's controller, the Download button clicked with the image chosen: on a run loop whose
// virtual clock jumps from one scheduled step to the next.
class EchoRun {
 public:
  EchoRun(const nuv::test::DeviceFault& fault, const Step& step)
      : fault_(fault), step_(step), bus_(app_.runLoop().clock()) {
    app_.runLoop().setClockMovedHook([this] { bus_.timeAdvanced(); });
    device_ = bus_.plug({}, {.faults = {nuv::test::faultAt(fault, step)}});
  }

  Observed download(const std::string& imagePath) {
    using nuv::mac::HIDStatusIdle;
    auto& loop = app_.runLoop();
    delegate_ = std::make_unique<nuv::mac::AppDelegate>(
        app_, [this] { return nuv::iohid::createSimHIDManager(bus_); });
    delegate_->setWindow(&app_.mainWindow());
    delegate_->applicationDidFinishLaunching();
    loop.runUntilIdle();
    nuv::mac::HIDViewController& controller = *delegate_->viewController();
    EXPECT_NE(controller.currentDevice(), nullptr);
    app_.setOpenPanelResponder([imagePath] {
      return nuv::cocoa::OpenPanelResult{nuv::cocoa::kModalResponseOK, {imagePath}};
    });
    (void)app_.nib()->downloadButton.click();
    EXPECT_TRUE(controller.holdsImageStream()) << "the image was refused";

    const auto idle = [&] { return controller.currentStatus() == HIDStatusIdle; };
    settle(idle);
    Observed seen;
    const bool stopped = !idle();
    if (stopped) {
      // Nothing is scheduled and the device sends nothing more: the program would wait for
      // ever, and its Stop button does not end the wait.
      EXPECT_FALSE(loop.nextTimerAt().has_value()) << "a wait that is not for ever";
      (void)app_.nib()->stopButton.click();
      settle(idle);
    }
    seen.status = app_.nib()->statusTextField.stringValue();
    if (!app_.alerts().empty()) seen.message = app_.alerts().back().informativeText;
    seen.waitsForEver = !idle();
    seen.device = deviceState(*device_);
    return seen;
  }
  [[nodiscard]] const nuv::sim::UpdateDevice& device() const { return *device_; }

 private:
  // Runs the loop until `done`, jumping over every delay, for at most ten minutes of its time.
  // An unplug is told from a thread of the bus: it is waited for (real time) as soon as the
  // device received the command that unplugs it, so that it lands at the same moment of the
  // flow in every run.
  void settle(const std::function<bool()>& done) {
    auto& loop = app_.runLoop();
    const auto unplugPending = [&] {
      return fault_.fault == nuv::sim::FaultKind::Unplug && !unplugSeen_ && fired(*device_, step_);
    };
    for (;;) {
      if (!loop.advanceUntil([&] { return done() || unplugPending(); }, 10min) || done()) return;
      const nuv::mac::HIDViewController& controller = *delegate_->viewController();
      for (int i = 0; i < 1000 && controller.currentDevice() != nullptr; ++i) {
        (void)loop.waitForSignal(10ms);
        loop.runUntilIdle();
      }
      unplugSeen_ = true;
    }
  }

  const nuv::test::DeviceFault& fault_;
  const Step& step_;
  nuv::cocoa::HeadlessApplication app_;
  nuv::sim::VirtualBus bus_;
  std::shared_ptr<nuv::sim::UpdateDevice> device_;
  std::unique_ptr<nuv::mac::AppDelegate> delegate_;
  bool unplugSeen_ = false;
};

// ---- the matrix -------------------------------------------------------------------------------

std::string_view flowName(Flow flow) {
  return flow == Flow::Strict ? "strict" : "echo";
}

std::string_view deviceName(Device device) {
  switch (device) {
    case Device::Untouched:
      return "Untouched";
    case Device::Erased:
      return "Erased";
    case Device::Burnt:
      return "Burnt";
  }
  return "?";
}

std::string describe(std::string_view status, std::string_view message, bool waitsForEver,
                     Device device) {
  std::ostringstream out;
  out << "{status \"" << status << "\", message \"" << message << "\", "
      << (waitsForEver ? "waits for ever" : "ends") << ", " << deviceName(device) << "}";
  return out.str();
}
std::string describe(const Outcome& o, const Step& step) {
  return describe(expand(o.status, step), expand(o.message, step), o.waitsForEver, o.device);
}
std::string describe(const Observed& o) {
  return describe(o.status, o.message, o.waitsForEver, o.device);
}

class FaultMatrix : public nuv::test::ImageFileTest {
 protected:
  FaultMatrix() : ImageFileTest("nuv-fault-matrix-") {
    firmware_ = nuv::test::firmwareForFlowTests();
  }

  template <typename Run>
  void runAll(Flow flow, const std::array<Row, kFaultCount>& table) {
    QuietLog quiet;
    nuv::ScopedLogSink logScope(quiet);
    for (std::size_t f = 0; f < kFaultCount; ++f) {
      for (std::size_t s = 0; s < kSteps; ++s) {
        const nuv::test::DeviceFault& fault = nuv::test::kDeviceFaults[f];
        const Step& step = kStepList[s];
        SCOPED_TRACE(std::string(flowName(flow)) + ": " + std::string(fault.kind) + "@" +
                     std::string(step.where));
        Run run(fault, step);
        const Observed seen = run.download(imagePath_);
        const Expected& want = table[f][s];
        const auto matches = [&](const Outcome& o) {
          return seen.status == expand(o.status, step) && seen.message == expand(o.message, step) &&
                 seen.waitsForEver == o.waitsForEver && seen.device == o.device;
        };
        if (!matches(want.outcome) && !(want.orElse && matches(*want.orElse))) {
          ADD_FAILURE() << "the table says " << describe(want.outcome, step)
                        << (want.orElse ? " or " + describe(*want.orElse, step) : "")
                        << "\nthe window ended with " << describe(seen);
        }
        // Above all: a success only when the device holds the image.
        if (seen.status == "Update Completed" || seen.status == "Finished") {
          EXPECT_TRUE(holdsImage(run.device(), firmware_, flow)) << "a success without the image";
        }
        checkEngine(flow, fault, step, want.engineEnd());
      }
    }
  }

  // The cell through the engine as vornex-cli runs it: same device, same end.
  void checkEngine(Flow flow, const nuv::test::DeviceFault& fault, const Step& step,
                   const Outcome& want) {
    const nuv::test::EngineRun run = nuv::test::runDownloadEngine(
        flow, {nuv::test::faultAt(fault, step)}, image_, {.stallLimit = kStallLimit});
    ASSERT_TRUE(run.outcome.has_value()) << "the engine waits for ever";
    const Device device = deviceState(*run.device);
    EXPECT_TRUE(run.outcome->kind == want.engine && device == want.device)
        << "the table says " << nuv::flow::outcomeName(want.engine) << ", "
        << deviceName(want.device) << "\nthe engine ended with "
        << nuv::flow::outcomeName(run.outcome->kind) << ", " << deviceName(device);
    if (run.outcome->succeeded()) {
      EXPECT_TRUE(holdsImage(*run.device, firmware_, flow)) << "a success without the image";
    }
    // The runner tells an unplug at once: no wait for the strict flow's time-out.
    if (flow == Flow::Strict && run.outcome->kind == OutcomeKind::DeviceGone) {
      EXPECT_LT(run.elapsedMs, 4000);
    }
  }

  std::vector<std::uint8_t> firmware_;
};

TEST_F(FaultMatrix, StrictFlow) {
  runAll<StrictRun>(Flow::Strict, kStrictTable);
}

TEST_F(FaultMatrix, EchoFlow) {
  runAll<EchoRun>(Flow::Echo, kEchoTable);
}

// ---- docs/faults.md ---------------------------------------------------------------------------

std::string_view deviceText(Device device) {
  switch (device) {
    case Device::Untouched:
      return "untouched";
    case Device::Erased:
      return "**erased**";
    case Device::Burnt:
      return "burnt";
  }
  return "?";
}

std::string code(std::string_view text) {
  if (text.empty()) return "—";
  std::string quoted = "`";
  quoted.append(text).append("`");
  return quoted;
}

// What vornex-cli does: its exit code, and how its end differs from the window's.
std::string cliEnd(const Outcome& o) {
  std::string text = "exit " + std::to_string(nuv::cli::exitCodeOf({.kind = o.engine}));
  if (o.waitsForEver)
    return text + " after " + std::to_string(kStallLimit.count()) +
           " s without a reply (`--stall-timeout`); the window waits for ever";
  if (o.engine == OutcomeKind::DeviceGone && o.status == kGone.status)
    return text + " at once; the window times out after 4 s";
  return text;
}

// `engine`: whether the engine's columns belong to this row (see Expected).
void renderRow(std::ostream& out, std::string_view stepName, std::string_view flow,
               const Outcome& o, const Step& step, bool engine) {
  out << "| " << stepName << " | " << flow << " | " << code(expand(o.status, step)) << " | "
      << code(expand(o.message, step)) << " | " << deviceText(o.device) << " | "
      << (engine ? code(nuv::flow::outcomeName(o.engine)) : "—") << " | "
      << (engine ? cliEnd(o) : "—") << " |\n";
}

// "What to do": the engine's advice for the outcomes the fault ends in, once per text.
std::string renderAdvice(std::size_t fault) {
  std::vector<std::pair<std::string_view, std::vector<OutcomeKind>>> texts;
  for (const auto* table : {&kStrictTable, &kEchoTable}) {
    for (const Expected& cell : (*table)[fault]) {
      const OutcomeKind kind = cell.engineEnd().engine;
      if (kind == OutcomeKind::Completed) continue;
      const std::string_view text = nuv::flow::advice({.kind = kind});
      auto it =
          std::find_if(texts.begin(), texts.end(), [&](const auto& t) { return t.first == text; });
      if (it == texts.end()) it = texts.insert(texts.end(), {text, {}});
      if (std::find(it->second.begin(), it->second.end(), kind) == it->second.end())
        it->second.push_back(kind);
    }
  }
  if (texts.empty()) return "What to do: Nothing: the download completes in both flows.\n\n";
  std::string out;
  for (const auto& [text, kinds] : texts) {
    out.append("What to do: ").append(text);
    if (texts.size() > 1) {
      std::string names;
      for (OutcomeKind kind : kinds)
        names.append(names.empty() ? "" : ", ").append(code(nuv::flow::outcomeName(kind)));
      out.append(" (").append(names).append(")");
    }
    out.append("\n\n");
  }
  return out;
}

std::string renderFaultsPage() {
  std::ostringstream out;
  out << "# What each device fault looks like\n\n"
         "<!-- Rendered from the tables of tests/test_fault_matrix.cpp, which checks every row "
         "against\n     the windows and the engine. Do not edit: change the tables and run\n"
         "     NUV_UPDATE_DOCS=1 build/tests/test_fault_matrix --gtest_filter=FaultsPage.* -->\n\n"
         "A download to a device that misbehaves at one step, in both flows: what the window "
         "of that\nflow shows, what became of the device, and how the update engine ends, "
         "which `vornex-cli`,\nthe C API, Python and the browser page run. Every row is a run "
         "of the window's flow (Vornex's\n`TMainForm`, QuenlorHID's `HIDViewController`) and "
         "of the engine on the emulated device;\nreproduce one in the terminal with the "
         "`--sim-fault` text of its first column, e.g.\n`vornex-cli download UPDATA.nuv --sim "
         "--sim-fault no-reply@0x1000` (`link+`, `version+`,\n`format+` and `burn+` hit every "
         "command of that kind).\n\n"
         "- **status line**: the window's last status line; **message**: its error box or "
         "alert.\n"
         "- **device**: *untouched* (nothing was erased: the old firmware still works), "
         "*erased* (Format\n  was carried out: the device needs a complete download before it "
         "works again; the engine's\n  `device_state` says `erased` or `partly_written`), "
         "*burnt* (Burn was carried out: the device\n  committed what it held; after a failure, "
         "`vornex-cli verify` tells whether that is the image).\n  The window and the engine "
         "leave the device alike.\n"
         "- **outcome**: the engine's outcome, the name that `vornex-cli --json`, the C API, "
         "Python and the\n  browser page report.\n"
         "- **vornex-cli**: its exit code and, where its end differs from the window's, how. "
         "The echo flow\n  ends `stalled` when a reply it awaits has not come for "
         "`--stall-timeout` seconds ("
      << kStallLimit.count()
      << " by\n  default; 0 waits for ever, as the window does, until Ctrl-C ends the run: "
         "`cancelled`, exit\n  130). The terminal tells the strict flow of an unplug at once "
         "(`device_gone`), where\n  Vornex's window waits out its time-out.\n"
         "- Where the window's end depends on timing (a duplicate reply handed over before or "
         "after its\n  next send), the engine's columns stand on the row of the end it takes: "
         "it reads replies in\n  order, so the copy is the next command's reply.\n"
         "- A success (`completed`, exit 0) always means the device holds the image; the test "
         "checks its\n  memory after every run.\n"
         "- *strict* is Vornex's flow (`--flow strict`, time-out about 4 s), *echo* QuenlorHID's "
         "(`--flow\n  echo`, no time-outs in the window, never sends Version).\n"
         "- **What to do** is the engine's advice for the outcomes of that fault.\n";
  for (std::size_t f = 0; f < kFaultCount; ++f) {
    const nuv::test::DeviceFault& fault = nuv::test::kDeviceFaults[f];
    out << "\n## " << kFaultTitles[f] << " (`" << fault.kind << "`)\n\n"
        << renderAdvice(f)
        << "| step | flow | status line | message | device | outcome | vornex-cli |\n"
        << "|---|---|---|---|---|---|---|\n";
    for (Flow flow : {Flow::Strict, Flow::Echo}) {
      const auto& table = flow == Flow::Strict ? kStrictTable : kEchoTable;
      for (std::size_t s = 0; s < kSteps; ++s) {
        const Step& step = kStepList[s];
        const Expected& cell = table[f][s];
        const std::string label = std::string(step.name) + " (`" + std::string(fault.kind) + "@" +
                                  std::string(step.where) + "`)";
        renderRow(out, label, flowName(flow), cell.outcome, step, !cell.orElse);
        if (cell.orElse) renderRow(out, "", "or, by timing:", *cell.orElse, step, true);
      }
    }
  }
  return out.str();
}

TEST(FaultsPage, IsRenderedFromTheTables) {
  const fs::path page = fs::path(NUV_SOURCE_DIR) / "docs" / "faults.md";
  const std::string rendered = renderFaultsPage();
  const char* update = std::getenv("NUV_UPDATE_DOCS");
  if (update != nullptr && std::string_view(update) == "1") {
    std::ofstream(page, std::ios::binary | std::ios::trunc) << rendered;
    GTEST_SKIP() << "wrote " << page;
  }
  std::ifstream in(page, std::ios::binary);
  const std::string committed{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_EQ(committed, rendered)
      << "docs/faults.md differs from the tables of tests/test_fault_matrix.cpp; regenerate it "
         "with\n  NUV_UPDATE_DOCS=1 build/tests/test_fault_matrix --gtest_filter=FaultsPage.*";
}

}  // namespace
