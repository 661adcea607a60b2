// Every fault of the emulated update device at every step of a download, in both flows of
// vornex-cli: what the user is shown, the exit code, whether the device was erased and whether
// it committed anything, and never a success unless the device holds the image. The tables
// below are the product's behaviour; docs/faults.md is rendered from them (NUV_UPDATE_DOCS=1
// writes it instead of comparing).
//
// The flows run in this process on clocks the test moves, wired as vornex-cli wires them (the
// Download button clicked with the image chosen, the exit code from the program's own mapping),
// so that a time-out costs no real time.
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

#include "cli/ExitCodes.h"
#include "mac/AppDelegate.h"
#include "platform/cocoa/Headless.h"
#include "platform/forms/Headless.h"
#include "platform/forms/Terminal.h"
#include "platform/iohid/Sim.h"
#include "platform/winapi/Sim.h"
#include "protocol/HIDProto.h"
#include "protocol/Log.h"
#include "protocol/UpdateImage.h"
#include "sim/VirtualBus.h"
#include "win/app/Unit1.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The exit code that the end of each window's flow stands for, as vornex-cli gives it for the
// same end: what a strict flow's outcome says, and what an echo download's last status line
// says once the window is idle again.
int strictExitCode(const FlowOutcome& outcome, bool interrupted) {
  switch (outcome.result) {
    case FlowResult::Completed:
      return nuv::cli::kExitSuccess;
    case FlowResult::ImageSize:
    case FlowResult::ImageVersion:
      return nuv::cli::kExitImageRefused;
    case FlowResult::DeviceVersion:
      return nuv::cli::kExitDeviceVersion;
    case FlowResult::ExchangeFailed:
      return nuv::cli::kExitExchangeFailed;
    case FlowResult::FileError:
      return nuv::cli::kExitFileError;
    case FlowResult::Stopped:
      return nuv::cli::kExitInterrupted;
    case FlowResult::None:
      break;
  }
  return interrupted ? nuv::cli::kExitInterrupted : nuv::cli::kExitExchangeFailed;
}

int echoExitCode(const std::string& status, bool interrupted) {
  if (status == "Finished") return nuv::cli::kExitSuccess;
  if (status == "User canceled")
    return interrupted ? nuv::cli::kExitInterrupted : nuv::cli::kExitExchangeFailed;
  if (status.rfind("Error on reading", 0) == 0) return nuv::cli::kExitFileError;
  return nuv::cli::kExitExchangeFailed;
}

// ---- the matrix's axes ----------------------------------------------------------------------

enum class Flow { Strict, Echo };

struct Step {
  std::string_view name;
  std::string_view where;  // the WHERE of --sim-fault: every command of a kind, or an address
  nuv::sim::Trigger trigger;
  bool repeat;
};

constexpr nuv::sim::Trigger atCode(std::uint8_t code) {
  return {nuv::sim::Trigger::Kind::AtCode, code};
}
constexpr nuv::sim::Trigger atAddress(std::uint32_t a) {
  return {nuv::sim::Trigger::Kind::AtAddress, a};
}

constexpr std::size_t kSteps = 8;
const std::array<Step, kSteps> kStepList = {{
    {"Link", "link+", atCode(kCmdLink), true},
    {"Version", "version+", atCode(kCmdVersion), true},
    {"Format", "format+", atCode(kCmdFormat), true},
    {"Write 0x0000", "0x0000", atAddress(0x0000), false},
    {"Write 0x1000", "0x1000", atAddress(0x1000), false},
    {"Write 0x2000", "0x2000", atAddress(0x2000), false},
    {"Write 0xFBFC", "0xFBFC", atAddress(0xFBFC), false},
    {"Burn", "burn+", atCode(kCmdBurn), true},
}};

// The strict flow gives up on a reply after 21 ticks of 200 ms.
constexpr auto kBeyondTimeOut = 5000ms;
constexpr auto kWithinTimeOut = 2000ms;

struct FaultCase {
  std::string_view title;
  std::string_view kind;  // the KIND of --sim-fault
  nuv::sim::FaultKind fault;
  std::chrono::milliseconds delay;
  std::string advice;  // what the user does next, for docs/faults.md
};

// The echo flow has no time-outs: a reply that never comes (or is ignored) is waited for.
const std::string kEchoMayWait =
    " With `--flow echo` the run may wait for ever: press Ctrl-C twice, then replug the device.";

enum Fault : std::size_t {
  kNoReply,
  kLateBeyond,
  kLateWithin,
  kDuplicate,
  kCodeZero,
  kWrongCode,
  kWrongAddress,
  kWrongData,
  kShortReport,
  kWriteFailure,
  kUnplug,
  kFaultCount
};

const std::array<FaultCase, kFaultCount> kFaults = {{
    {"No reply", "no-reply", nuv::sim::FaultKind::NoReply, 0ms,
     "Check the cable and the device's power, unplug and replug it, and run the download again. "
     "A device that was erased needs a complete download before it works again." +
         kEchoMayWait},
    {"Late reply, beyond the 4 s time-out", "late:5000", nuv::sim::FaultKind::LateReply,
     kBeyondTimeOut,
     "The device answers too slowly: replug it (or try another USB port or hub) and run the "
     "download again; an erased device needs the complete download."},
    {"Late reply, within the 4 s time-out", "late:2000", nuv::sim::FaultKind::LateReply,
     kWithinTimeOut, "Nothing: a slow reply within the time-out is waited for."},
    {"Duplicate reply", "duplicate", nuv::sim::FaultKind::Duplicate, 0ms,
     "Run the download again; if it keeps failing, the device or its firmware sends stray "
     "reports: replug it."},
    {"Reply code 0", "code-zero", nuv::sim::FaultKind::ReplyCodeZero, 0ms,
     "The device is not ready for the command: replug it and run the download again." +
         kEchoMayWait},
    {"Wrong reply code", "wrong-code", nuv::sim::FaultKind::WrongCode, 0ms,
     "The device answered another command: replug it and run the download again." + kEchoMayWait},
    {"Wrong address echoed", "wrong-address", nuv::sim::FaultKind::WrongAddress, 0ms,
     "The device echoed another address: replug it and run the download again; an erased device "
     "needs the complete download."},
    {"Wrong data echoed", "wrong-data", nuv::sim::FaultKind::WrongData, 0ms,
     "The device echoed other data: replug it and run the download again; if it recurs at the "
     "same address, the device's memory may be faulty."},
    {"Short report (5 bytes)", "short-report", nuv::sim::FaultKind::ShortReport, 0ms,
     "The device sent a truncated report: replug it and run the download again." + kEchoMayWait},
    {"Write failure (the host cannot send)", "write-failure", nuv::sim::FaultKind::WriteFailure,
     0ms,
     "The system refused to send to the device: replug it (check permissions with `vornex-cli "
     "list`) and run the download again." +
         kEchoMayWait},
    {"Unplug", "unplug", nuv::sim::FaultKind::Unplug, 0ms,
     "Plug the device in again (firmly, without a hub if possible) and run the download again; "
     "an erased device needs the complete download before it works."},
}};

// ---- what a cell ends with --------------------------------------------------------------------

// The run never ends by itself: the first Ctrl-C (Stop) does not end it either, only the second
// one quits (exit code 130).
constexpr int kNeverEnds = -1;

enum class Device { Untouched, Erased, Burnt };

// In `status` and `message`, "{a}" stands for the step's address as the echo flow prints it,
// "{next}" for the address after it.
struct Outcome {
  std::string_view status;   // the last status line
  std::string_view message;  // the error box or alert, empty when none
  int exitCode;
  Device device;
};

// What a cell ends with; a few cells end one of two ways, as a race between a duplicate reply
// and the next command decides.
struct Expected {
  constexpr Expected(Outcome only) : outcome(only) {}  // NOLINT: the table's plain cells
  constexpr Expected(Outcome first, Outcome second) : outcome(first), orElse(second) {}
  Outcome outcome;
  std::optional<Outcome> orElse;
};
constexpr Expected either(Outcome first, Outcome second) {
  return {first, second};
}

// The strict flow: the failure text is both the red status line and the error box.
constexpr Outcome strictFailure(std::string_view text, Device device) {
  return {text, text, nuv::cli::kExitExchangeFailed, device};
}
constexpr Outcome kCompleted{"Update Completed", "", nuv::cli::kExitSuccess, Device::Burnt};
constexpr Outcome kTimeOut = strictFailure("Time out  error", Device::Untouched);
constexpr Outcome kTimeOutErased = strictFailure("Time out  error", Device::Erased);
constexpr Outcome kTimeOutBurnt = strictFailure("Time out  error", Device::Burnt);
constexpr Outcome kDataError = strictFailure("Data error", Device::Untouched);
constexpr Outcome kDataErrorErased = strictFailure("Data error", Device::Erased);
constexpr Outcome kDataErrorBurnt = strictFailure("Data error", Device::Burnt);
constexpr Outcome kNoRespond = strictFailure("No  respond", Device::Untouched);
constexpr Outcome kNoRespondErased = strictFailure("No  respond", Device::Erased);
constexpr Outcome kNoRespondBurnt = strictFailure("No  respond", Device::Burnt);
constexpr Outcome kDeviceVersionRefused{"Get version...", "Device ver is error",
                                        nuv::cli::kExitDeviceVersion, Device::Untouched};

// The echo flow.
constexpr Outcome kFinished{"Finished", "", nuv::cli::kExitSuccess, Device::Burnt};
constexpr Outcome kWrongEcho{"Error on writing address: 0x{a}",
                             "Error on writing address: 0x{a}. Writing operation will be canceled",
                             nuv::cli::kExitExchangeFailed, Device::Erased};
constexpr Outcome kWrongEchoOfNext{
    "Error on writing address: 0x{next}",
    "Error on writing address: 0x{next}. Writing operation will be canceled",
    nuv::cli::kExitExchangeFailed, Device::Erased};
constexpr Outcome kWentAway{"idle", "", nuv::cli::kExitExchangeFailed, Device::Untouched};
constexpr Outcome kWentAwayErased{"idle", "", nuv::cli::kExitExchangeFailed, Device::Erased};
constexpr Outcome kWentAwayBurnt{"idle", "", nuv::cli::kExitExchangeFailed, Device::Burnt};
constexpr Outcome kCanceledErased{"User canceled", "", nuv::cli::kExitExchangeFailed,
                                  Device::Erased};
constexpr Outcome hangs(std::string_view status, Device device) {
  return {status, "", kNeverEnds, device};
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
  /* write failure */ {kDataError, kDataError, kDataError, kDataErrorErased, kDataErrorErased, kDataErrorErased, kDataErrorErased, kDataErrorErased},
  /* unplug        */ {kTimeOut, kTimeOut, kTimeOutErased, kTimeOutErased, kTimeOutErased, kTimeOutErased, kTimeOutErased, kTimeOutBurnt},
}};

// The echo flow sends no Version command, so a fault there never fires. It has no time-outs:
// a reply that never comes, or one it ignores, leaves it waiting for ever.
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
  int exitCode = kNeverEnds;
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

nuv::sim::Fault faultAt(const FaultCase& fault, const Step& step) {
  nuv::sim::Fault f;
  f.kind = fault.fault;
  f.when = step.trigger;
  f.delay = fault.delay;
  f.repeat = step.repeat;
  return f;
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

// Vornex's window as `vornex-cli download --flow strict` runs it. The clock moves only while the
// window waits for a reply that the fault withholds, one timer period at a time; every other
// reply is handed over before time moves on.
class StrictRun {
 public:
  StrictRun(const FaultCase& fault, const Step& step)
      : fault_(fault), step_(step), bus_(clock_), gui_(clock_) {
    clock_.setListener([this] {
      bus_.timeAdvanced();
      gui_.wakeUp();
    });
    device_ = bus_.plug({}, {.faults = {faultAt(fault, step)}});
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
    const bool green =
        nuv::forms::toneOf(form_->StatusBar1.color()) == nuv::forms::StatusTone::Success;
    bool exception = false;
    if (gui_.boxes().size() > boxesBefore) {
      seen.message = gui_.boxes().back().text;
      exception = gui_.boxes().back().kind == nuv::forms::BoxKind::Exception;
    }
    seen.exitCode = strictExitCode(form_->lastOutcome(), false);
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

  const FaultCase& fault_;
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

// QuenlorHID's controller as `vornex-cli download --flow echo` runs it: on a run loop whose
// virtual clock jumps from one scheduled step to the next.
class EchoRun {
 public:
  EchoRun(const FaultCase& fault, const Step& step)
      : fault_(fault), step_(step), bus_(app_.runLoop().clock()) {
    app_.runLoop().setClockMovedHook([this] { bus_.timeAdvanced(); });
    device_ = bus_.plug({}, {.faults = {faultAt(fault, step)}});
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
      // ever. The first Ctrl-C is a click of Stop.
      EXPECT_FALSE(loop.nextTimerAt().has_value()) << "a wait that is not for ever";
      (void)app_.nib()->stopButton.click();
      settle(idle);
    }
    seen.status = app_.nib()->statusTextField.stringValue();
    if (!app_.alerts().empty()) seen.message = app_.alerts().back().informativeText;
    seen.exitCode = idle() ? echoExitCode(seen.status, stopped) : kNeverEnds;
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

  const FaultCase& fault_;
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

std::string describe(std::string_view status, std::string_view message, int exitCode,
                     Device device) {
  std::ostringstream out;
  out << "{status \"" << status << "\", message \"" << message << "\", exit " << exitCode << ", "
      << deviceName(device) << "}";
  return out.str();
}
std::string describe(const Outcome& o, const Step& step) {
  return describe(expand(o.status, step), expand(o.message, step), o.exitCode, o.device);
}
std::string describe(const Observed& o) {
  return describe(o.status, o.message, o.exitCode, o.device);
}

class FaultMatrix : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) /
           ("nuv-fault-matrix-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    std::vector<std::uint8_t> fw(nuv::image::kFirmwareSize);
    for (std::size_t a = 0; a < fw.size(); ++a)
      fw[a] = static_cast<std::uint8_t>((a * 7 + (a >> 8) * 13 + 1) & 0xFF);
    const std::string_view header = "V1.01 fault test";
    std::copy(header.begin(), header.end(), fw.begin());
    firmware_ = fw;
    imagePath_ = (dir_ / "UPDATA.nuv").string();
    const auto image = nuv::image::pack(fw, 0xEE);
    std::ofstream(imagePath_, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  template <typename Run>
  void runAll(Flow flow, const std::array<Row, kFaultCount>& table) {
    QuietLog quiet;
    nuv::ScopedLogSink logScope(quiet);
    for (std::size_t f = 0; f < kFaultCount; ++f) {
      for (std::size_t s = 0; s < kSteps; ++s) {
        const FaultCase& fault = kFaults[f];
        const Step& step = kStepList[s];
        SCOPED_TRACE(std::string(flowName(flow)) + ": " + std::string(fault.kind) + "@" +
                     std::string(step.where));
        Run run(fault, step);
        const Observed seen = run.download(imagePath_);
        const Expected& want = table[f][s];
        const auto matches = [&](const Outcome& o) {
          return seen.status == expand(o.status, step) && seen.message == expand(o.message, step) &&
                 seen.exitCode == o.exitCode && seen.device == o.device;
        };
        if (!matches(want.outcome) && !(want.orElse && matches(*want.orElse))) {
          ADD_FAILURE() << "the table says " << describe(want.outcome, step)
                        << (want.orElse ? " or " + describe(*want.orElse, step) : "")
                        << "\nthe run ended with " << describe(seen);
        }
        // Above all: a success only when the device holds the image.
        if (seen.exitCode == nuv::cli::kExitSuccess) {
          EXPECT_TRUE(holdsImage(run.device(), firmware_, flow)) << "a success without the image";
        }
      }
    }
  }

  fs::path dir_;
  std::vector<std::uint8_t> firmware_;
  std::string imagePath_;
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

void renderRow(std::ostream& out, std::string_view stepName, std::string_view flow,
               const Outcome& o, const Step& step) {
  out << "| " << stepName << " | " << flow << " | " << code(expand(o.status, step)) << " | "
      << code(expand(o.message, step)) << " | "
      << (o.exitCode == kNeverEnds ? std::string("never") : std::to_string(o.exitCode)) << " | "
      << deviceText(o.device) << " |\n";
}

std::string renderFaultsPage() {
  std::ostringstream out;
  out << "# What each device fault looks like\n\n"
         "<!-- Rendered from the tables of tests/test_fault_matrix.cpp, which checks every row "
         "against\n     the program. Do not edit: change the tables and run\n"
         "     NUV_UPDATE_DOCS=1 build/tests/test_fault_matrix --gtest_filter=FaultsPage.* -->\n\n"
         "`vornex-cli download` against a device that misbehaves at one step of the download, in "
         "both\nflows: what you see, the exit code, and what became of the device. Every row "
         "is a run of the\nprogram's flow on the emulated device; reproduce one with the "
         "`--sim-fault` text of its first\ncolumn, e.g. `vornex-cli download UPDATA.nuv --sim "
         "--sim-fault no-reply@0x1000` (`link+`,\n`version+`, `format+` and `burn+` hit every "
         "command of that kind).\n\n"
         "- **status line**: the last status line; **message**: the error box or alert, printed "
         "as\n  `error: ...` on standard error.\n"
         "- **exit**: the exit code. *never*: the run does not end by itself; the first Ctrl-C "
         "does not\n  end it either, the second quits at once with 130.\n"
         "- **device**: *untouched* (nothing was erased: the old firmware still works), "
         "*erased* (Format\n  was carried out: the device needs a complete download before it "
         "works again), *burnt* (Burn\n  was carried out: the device committed what it held; "
         "after a failure, `vornex-cli verify`\n  tells whether that is the image).\n"
         "- A success (exit 0) always means the device holds the image; the test checks its "
         "memory.\n"
         "- *strict* is Vornex's flow (`--flow strict`, time-out about 4 s), *echo* QuenlorHID's "
         "(`--flow\n  echo`, no time-outs, never sends Version).\n";
  for (std::size_t f = 0; f < kFaultCount; ++f) {
    const FaultCase& fault = kFaults[f];
    out << "\n## " << fault.title << " (`" << fault.kind << "`)\n\n"
        << "What to do: " << fault.advice << "\n\n"
        << "| step | flow | status line | message | exit | device |\n"
        << "|---|---|---|---|---|---|\n";
    for (Flow flow : {Flow::Strict, Flow::Echo}) {
      const auto& table = flow == Flow::Strict ? kStrictTable : kEchoTable;
      for (std::size_t s = 0; s < kSteps; ++s) {
        const Step& step = kStepList[s];
        const Expected& cell = table[f][s];
        const std::string label = std::string(step.name) + " (`" + std::string(fault.kind) + "@" +
                                  std::string(step.where) + "`)";
        renderRow(out, label, flowName(flow), cell.outcome, step);
        if (cell.orElse) renderRow(out, "", "or, by timing:", *cell.orElse, step);
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
