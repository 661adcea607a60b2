// QuenlorHID's controller (HIDViewController) on the terminal backend of the Cocoa seam.
#include <unistd.h>

#include <variant>

#include "cli/CommandLine.h"
#include "cli/DeviceCommands.h"
#include "cli/ExitCodes.h"
#include "cli/Failure.h"
#include "cli/Flows.h"
#include "cli/ImageTools.h"
#include "cli/Interrupt.h"
#include "cli/JsonLine.h"
#include "cli/SimSetup.h"
#include "mac/AppDelegate.h"
#include "mac/UpdateImageCheck.h"
#include "platform/cocoa/Nib.h"
#include "platform/cocoa/Terminal.h"
#include "platform/iohid/Sim.h"
#include "protocol/Log.h"
#include "protocol/UpdateImage.h"

#ifdef __linux__
#include "platform/iohid/Linux.h"
#endif

namespace nuv::cli {
namespace {

namespace cocoa = nuv::cocoa;
namespace mac = nuv::mac;

Tone toneOfText(std::string_view text) {
  if (text == "Finished" || text.rfind("Version: ", 0) == 0) return Tone::Success;
  if (text.rfind("Error", 0) == 0 || text == "User canceled") return Tone::Failure;
  return Tone::Normal;
}

class OutputSink final : public cocoa::TerminalSink {
 public:
  explicit OutputSink(Output& out) : out_(out) {}
  void status(std::string_view text) override {
    // The window says "User canceled" whenever the writes end early, also when a Write could
    // not be sent and nobody pressed Stop: here that is told as what it is.
    if (text == "User canceled" && !stopPressed) {
      writeFailed = true;
      out_.status("Writing failed", Tone::Failure);
      return;
    }
    out_.status(text, toneOfText(text));
  }
  void caption(std::string_view text) override { out_.detail(text); }
  void progress(double value, double minimum, double maximum) override {
    if (maximum <= minimum) return;
    // The bar runs from 0 to 1 over the 65,536 addresses that the echo flow writes.
    const double share = (value - minimum) / (maximum - minimum);
    // The window shows the address of the Write being sent: with it, its four bytes are out.
    const auto address = static_cast<std::uint32_t>(share * nuv::image::kImageSize);
    out_.progress(Phase::Write, address + 4, nuv::image::kImageSize, address);
  }
  void alert(const cocoa::Alert& alert) override {
    out_.message(alert.informativeText.empty() ? alert.messageText : alert.informativeText, true);
  }

  bool stopPressed = false;  // Ctrl-C pressed Stop
  bool writeFailed = false;  // the writes ended early without Stop

 private:
  Output& out_;
};

class DetailLog final : public nuv::LogSink {
 public:
  explicit DetailLog(Output& out) : out_(out) {}
  void write(std::string_view line) override { out_.detail(line); }

 private:
  Output& out_;
};

#ifdef __linux__
// libudev, showing only the node that --device names.
class OneNodeUdev final : public nuv::hidraw::UdevBackend {
 public:
  OneNodeUdev(std::unique_ptr<nuv::hidraw::UdevBackend> inner, std::string devnode)
      : inner_(std::move(inner)), devnode_(std::move(devnode)) {}
  nuv::Result<std::vector<nuv::hidraw::UdevRecord>> enumerate() override {
    auto all = inner_->enumerate();
    if (!all) return all;
    std::vector<nuv::hidraw::UdevRecord> kept;
    for (auto& r : all.value())
      if (r.devnode == devnode_) kept.push_back(std::move(r));
    return kept;
  }
  std::optional<nuv::Error> startMonitor() override { return inner_->startMonitor(); }
  int monitorFd() const override { return inner_->monitorFd(); }
  std::optional<nuv::hidraw::UdevRecord> receiveEvent() override {
    while (auto r = inner_->receiveEvent())
      if (r->devnode == devnode_ || r->action == "remove") return r;
    return std::nullopt;
  }

 private:
  std::unique_ptr<nuv::hidraw::UdevBackend> inner_;
  std::string devnode_;
};
#endif

}  // namespace

int echoExitCode(const std::string& status, bool interrupted) {
  if (status == "Finished") return kExitSuccess;
  if (status == "User canceled") return interrupted ? kExitInterrupted : kExitExchangeFailed;
  if (status.rfind("Error on reading", 0) == 0) return kExitFileError;
  return kExitExchangeFailed;  // a wrong echo, or "idle": the device went away
}

int runEchoFlow(const Options& options, Output& out, const SessionIo& io) {
  const bool isDownload = options.command == Command::Download;
  const std::string image = isDownload ? options.operands.at(0) : std::string();
  std::string devicePath;
  if (auto refused = checkDeviceAccess(options, out, &devicePath)) return *refused;

  OutputSink sink(out);
  DetailLog log(out);
  nuv::ScopedLogSink logScope(log);
  SimSetup unused;
  SimSetup& sim = options.sim ? simFor(options, io) : unused;
  mac::IOHIDManagerFactory factory;
  if (options.sim) {
    factory = [&sim] { return nuv::iohid::createSimHIDManager(*sim.bus); };
  } else {
#ifdef __linux__
    factory = [devicePath, &io] {
      nuv::iohid::LinuxHIDSeams seams;
      seams.sys = &io.systemCalls();
      seams.makeUdev = [devicePath]() -> nuv::Result<std::unique_ptr<nuv::hidraw::UdevBackend>> {
        auto udev = nuv::hidraw::makeLibudevBackend();
        if (!udev) return udev.error();
        return std::unique_ptr<nuv::hidraw::UdevBackend>(
            std::make_unique<OneNodeUdev>(std::move(udev).value(), devicePath));
      };
      return nuv::iohid::createLinuxHIDManager(std::move(seams));
    };
#endif
  }

  int code = kExitExchangeFailed;
  std::string last;  // the status line the flow ended with
  {
    cocoa::TerminalApplication app(sink, image);
    mac::AppDelegate delegate(app, factory);
    delegate.setWindow(&app.mainWindow());
    delegate.applicationDidFinishLaunching();
    mac::HIDViewController& controller = *delegate.viewController();
    app.runLoop().runUntilIdle();  // the matching device is reported from the loop
    app.flushStatus();
    if (controller.currentDevice() == nullptr) {
      out.result(kExitNoDevice, "no update device (USB ffff:0100) is attached");
      return kExitNoDevice;
    }
    cocoa::HeadlessButton* stop = app.button(cocoa::nib::kStopTitle);
    // Ctrl-C is Stop while writing. Stop does nothing in the window's other steps (it waits
    // for ever for a device that does not answer), so there the run is left at once.
    bool abandoned = false;
    app.onInterrupt = [&] {
      sink.stopPressed = true;
      if (controller.currentStatus() == mac::HIDStatusWriting) {
        (void)stop->click();
        out.detail("Ctrl-C: Stop (Ctrl-C again quits at once)");
      } else {
        abandoned = true;
      }
    };
    InterruptWatch interrupts(
        [&app] { app.interrupt(); },
        [] { (void)!::write(STDERR_FILENO, kInterruptedLine, sizeof kInterruptedLine - 1); });

    (void)app.button(isDownload ? cocoa::nib::kDownloadTitle : cocoa::nib::kVersionTitle)->click();
    if (isDownload && !controller.holdsImageStream() &&
        controller.currentStatus() == mac::HIDStatusIdle) {
      // Refused before anything was sent: the alert told why; the image check says which kind.
      app.flushStatus();
      const auto problem = nuv::mac::updateImageProblem(image);
      code = problem && problem->kind == nuv::mac::ImageProblem::Kind::WrongSize ? kExitImageRefused
                                                                                 : kExitFileError;
    } else {
      app.runLoop().runUntil(
          [&] { return abandoned || controller.currentStatus() == mac::HIDStatusIdle; },
          [&app] { app.flushStatus(); });
      app.flushStatus();
      last = app.loadNib(cocoa::nib::kHIDViewControllerNib)->statusTextField->stringValue();
      if (abandoned) {
        code = kExitInterrupted;
      } else if (isDownload) {
        code = echoExitCode(last, interrupts.interrupted());
      } else if (last.rfind("Version: ", 0) == 0) {
        code = kExitSuccess;
        const std::string version = spelledVersion(last.substr(9));
        out.answer(JsonLine("version").text("version", version), "version", version);
      } else {
        code = kExitExchangeFailed;
      }
    }
  }

  if (code == kExitSuccess && isDownload && options.verifyAfter) {
    return verifyAfterDownload(options, sim, devicePath, image, true, out, io);
  }

  switch (code) {
    case kExitSuccess:
      out.result(code, "");
      break;
    case kExitImageRefused:
      out.result(code, image + ": not an update image; nothing was sent");
      break;
    case kExitFileError:
      out.result(code, "the update image could not be read");
      break;
    default: {
      // How the flow ended, as the window's last state shows it: a wrong echo leaves its
      // "Error on writing" status, a device that went away the idle state.
      Symptom symptom = Symptom::Timeout;
      if (code == kExitInterrupted)
        symptom = Symptom::Interrupted;
      else if (sink.writeFailed)
        symptom = Symptom::SendFailed;
      else if (last.rfind("Error on writing", 0) == 0)
        symptom = Symptom::WrongEcho;
      else if (last == "idle")
        symptom = Symptom::DeviceGone;
      else
        symptom = Symptom::DataError;
      const FailureReport failure =
          describeFailure(symptom, io.watch ? io.watch->summary() : WireSummary{},
                          commandSpec(options.command)->name);
      out.result(code, "", &failure);
      break;
    }
  }
  return code;
}

}  // namespace nuv::cli
