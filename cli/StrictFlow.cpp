// Vornex's window (TMainForm) on the terminal backend of the forms seam.
#include <unistd.h>

#include <cerrno>
#include <variant>

#include "cli/CommandLine.h"
#include "cli/DeviceCommands.h"
#include "cli/ExitCodes.h"
#include "cli/Failure.h"
#include "cli/Files.h"
#include "cli/Flows.h"
#include "cli/ImageTools.h"
#include "cli/Interrupt.h"
#include "cli/JsonLine.h"
#include "cli/SimSetup.h"
#include "mac/VersionText.h"
#include "platform/forms/Terminal.h"
#include "platform/winapi/Linux.h"
#include "platform/winapi/Sim.h"
#include "protocol/Log.h"
#include "protocol/UpdateImage.h"
#include "win/app/Unit1.h"

#ifdef __linux__
#include "platform/hidraw/Hidraw.h"
#endif

namespace nuv::cli {
namespace {

Tone toneOf(forms::StatusTone tone) {
  switch (tone) {
    case forms::StatusTone::Success:
      return Tone::Success;
    case forms::StatusTone::Failure:
      return Tone::Failure;
    case forms::StatusTone::Normal:
      break;
  }
  return Tone::Normal;
}

class OutputSink final : public forms::TerminalSink {
 public:
  explicit OutputSink(Output& out) : out_(out) {}
  void status(std::string_view text, forms::StatusTone tone) override {
    // The step after the Writes has begun (a failure is no such step): the Writes are done,
    // whatever the gauge last drew.
    if (tone != forms::StatusTone::Failure) out_.completePhase();
    // A read error of the reader thread is an error, for standard error, not a status.
    if (text.starts_with("READ ERROR: ")) {
      out_.message(text, true);
      return;
    }
    out_.status(text, toneOf(tone));
  }
  void progress(std::int64_t value, std::int64_t maximum) override {
    // The gauge runs over the image's 65,536 bytes while the Writes go out and shows the
    // address of the Write being sent; the Writes cover the firmware's 64,512 bytes. Other
    // settings of the gauge (its idle 0 of 100) are no progress.
    if (value < 0 || maximum != static_cast<std::int64_t>(nuv::image::kImageSize)) return;
    const auto address = static_cast<std::uint32_t>(value);
    out_.progress(Phase::Write, address + 4, nuv::image::kFirmwareSize, address);
  }
  void message(forms::BoxKind, std::string_view text) override { out_.message(text, true); }

 private:
  Output& out_;
};

// The programs' log lines of the GUI thread, shown with --verbose.
class DetailLog final : public nuv::LogSink {
 public:
  explicit DetailLog(Output& out) : out_(out) {}
  void write(std::string_view line) override { out_.detail(line); }

 private:
  Output& out_;
};

// How Vornex's result code names a failed exchange.
Symptom symptomOf(std::int32_t resultCode) {
  switch (resultCode) {
    case ResultNoDevice:
      return Symptom::NotConnected;
    case ResultDataError:
      return Symptom::DataError;
    case ResultNoResponse:
      return Symptom::NoResponse;
    default:
      return Symptom::Timeout;
  }
}

}  // namespace

std::string deviceVersionRefusal(const WireSummary& wire) {
  const std::string required = std::string(1, nuv::image::kProgramVersion[1]) + ".x";
  if (!wire.version)
    return "the device's firmware version is refused (this updater needs " + required +
           "); nothing was erased";
  return "the device reports version " +
         spelledVersion(nuv::mac::versionText(wire.version->data())) + "; this updater needs " +
         required + "; nothing was erased";
}

int strictExitCode(const FlowOutcome& outcome, bool interrupted) {
  switch (outcome.result) {
    case FlowResult::Completed:
      return kExitSuccess;
    case FlowResult::ImageSize:
    case FlowResult::ImageVersion:
      return kExitImageRefused;
    case FlowResult::DeviceVersion:
      return kExitDeviceVersion;
    case FlowResult::ExchangeFailed:  // "No connected", "Data error", "Time out  error", ...
      return kExitExchangeFailed;
    case FlowResult::FileError:
      return kExitFileError;
    case FlowResult::Stopped:
      return kExitInterrupted;
    case FlowResult::None:
      break;
  }
  // Ended without a result: only a stop does that.
  return interrupted ? kExitInterrupted : kExitExchangeFailed;
}

int runStrictFlow(const Options& options, Output& out, const SessionIo& io) {
  const bool isDownload = options.command == Command::Download;
  const std::string image = isDownload ? options.operands.at(0) : std::string();
  std::string devicePath;
  if (auto refused = checkDeviceAccess(options, out, &devicePath)) return *refused;

  OutputSink sink(out);
  DetailLog log(out);
  nuv::ScopedLogSink logScope(log);
  forms::TerminalGui gui(sink, image);
  gui.setTitle(std::string(kApplicationTitle));

  SimSetup unused;
  SimSetup& sim = options.sim ? simFor(options, io) : unused;
  std::unique_ptr<winapi::Api> api;
  if (options.sim) {
    api = winapi::makeSimApi(*sim.bus, &gui);
  } else {
    winapi::EmulationOptions only;
    only.onlyDevicePath = devicePath;
#ifdef __linux__
    only.systemCalls = &io.systemCalls();
#endif
    api = winapi::makeLinuxApi(&gui, only);
    if (!api) {
      out.result(kExitNoDevice, "the HID devices cannot be listed: libudev could not be used");
      return kExitNoDevice;
    }
  }

  int code = kExitExchangeFailed;
  bool completed = false;
  FlowOutcome lastOutcome;
  {
    hid::HidProcess process(*api, gui);
    std::unique_ptr<TMainForm> form;
    try {
      form = std::make_unique<TMainForm>(gui, process);
    } catch (const hid::EControllerError& e) {
      out.message(e.what(), true);
      out.result(kExitNoDevice, "the HID layer could not be started");
      return kExitNoDevice;
    }
    gui.setMainForm(*form);
    gui.showStatusBar(form->StatusBar1);
    TGauge& gauge = form->Gauge1;
    gui.showGauge(gauge, [&gauge] {
      return std::pair<std::int64_t, std::int64_t>(gauge.Progress(), gauge.MaxValue());
    });
    gui.onInterrupt = [&form, &out] {
      if (form->Busy) out.detail("Ctrl-C: Stop (Ctrl-C again quits at once)");
      form->stop_button.click();
    };
    InterruptWatch interrupts(
        [&gui] { gui.interrupt(); },
        [] { (void)!::write(STDERR_FILENO, kInterruptedLine, sizeof kInterruptedLine - 1); });

    gui.activateMainForm();  // as the window's first showing: the device list is built
    gui.processMessages();
    forms::SpeedButton& button = isDownload ? form->Write_car : form->READ_car;
    if (!button.enabled()) {
      gui.shutDown();
      out.result(kExitNoDevice, "no update device (USB ffff:0100) is attached");
      return kExitNoDevice;
    }
    button.click();

    const FlowOutcome& outcome = form->lastOutcome();
    lastOutcome = outcome;
    code = strictExitCode(outcome, interrupts.interrupted());
    completed = outcome.result == FlowResult::Completed;
    if (!isDownload && completed) {
      const std::string version = spelledVersion(outcome.deviceVersion);
      out.answer(JsonLine("version").text("version", version), "version", version);
    }
    form.reset();  // hands the device back before a verify opens it again
    gui.shutDown();
  }

  if (code == kExitSuccess && isDownload && options.verifyAfter && completed) {
    return verifyAfterDownload(options, sim, devicePath, image, false, out, io);
  }

  const WireSummary wire = io.watch ? io.watch->summary() : WireSummary{};
  switch (code) {
    case kExitSuccess:
      out.result(code, "");
      break;
    case kExitImageRefused:
      out.result(code, image + ": not an update image Vornex accepts; nothing was sent");
      break;
    case kExitDeviceVersion:
      out.result(code, deviceVersionRefusal(wire));
      break;
    case kExitFileError:
      out.result(code, "the update image could not be read");
      break;
    default: {
      const FailureReport failure = describeFailure(
          code == kExitInterrupted ? Symptom::Interrupted : symptomOf(lastOutcome.resultCode), wire,
          commandSpec(options.command)->name);
      out.result(code, "", &failure);
      break;
    }
  }
  return code;
}

}  // namespace nuv::cli
