#include "cli/EngineCommands.h"

#include <string>

#include "cli/CommandLine.h"
#include "cli/DeviceCommands.h"
#include "cli/ExitCodes.h"
#include "cli/Failure.h"
#include "cli/Files.h"
#include "cli/ImageTools.h"
#include "cli/JsonLine.h"
#include "cli/SimSetup.h"
#include "flow/EchoFlow.h"
#include "flow/StrictFlow.h"
#include "flow/VerifyFlow.h"
#include "mac/VersionText.h"
#include "protocol/UpdateImage.h"
#include "run/Runner.h"
#include "run/SimLink.h"

#ifdef __linux__
#include "run/HidrawLink.h"
#endif

namespace nuv::cli {
namespace {

using flow::OutcomeKind;

// Tells a running flow in the terminal: the engine's status lines as the window shows them
// (the last one held back until the next event, so that the line a flow ends with takes the
// outcome's colour), the progress of its phase, the link's errors as details.
class Presenter final : public run::RunObserver {
 public:
  // `endsWithWords`: a flow that succeeds says so in its last line (a download's "Update
  // Completed", a read-back's "Verified", Vornex's "Version:1.01"); otherwise the front end
  // tells the success after the flow.
  Presenter(Output& out, Flow flow, Phase phase, bool endsWithWords)
      : out_(out), flow_(flow), phase_(phase), endsWithWords_(endsWithWords) {}

  void stepBegan(flow::Step step) override {
    flushHeld();
    // The Writes are done once the burn begins, whatever the last progress said.
    if (step == flow::Step::Burn) out_.completePhase();
  }
  void progressed(const flow::Progress& p) override {
    flushHeld();
    out_.progress(phase_, p.done, p.total, p.address);
  }
  void logged(std::string_view line) override {
    flushHeld();
    held_ = line;
  }
  // What the window writes to its log: a detail, shown with --verbose.
  void noted(std::string_view line) override { out_.detail(line); }
  void linkFailed(const nuv::Error& error) override { out_.detail(error.describe()); }

  // The flow has ended as `outcome`: its last words, in the outcome's colour.
  void finish(const flow::Outcome& outcome) {
    if (outcome.succeeded()) {
      out_.completePhase();
      // A flow whose success is told in other words drops its own last line (QuenlorHID
      // shows its version as "Version: 1.01", not as the engine logs it).
      if (endsWithWords_)
        flushHeld(Tone::Success);
      else
        held_.clear();
      return;
    }
    switch (outcome.kind) {
      case OutcomeKind::Cancelled:
      case OutcomeKind::DeviceGone:
        // Ended from outside: the line held is the step that was under way.
        flushHeld();
        return;
      case OutcomeKind::WriteFailed:
        // QuenlorHID says "User canceled" when a Write cannot be sent: nobody pressed Stop.
        if (flow_ == Flow::Echo) held_ = "Writing failed";
        break;
      case OutcomeKind::EchoMismatch: {
        held_.clear();
        char text[96];
        const unsigned address = outcome.address.value_or(0);
        std::snprintf(text, sizeof text, "Error on writing address: 0x%x", address);
        out_.status(text, Tone::Failure);
        std::snprintf(text, sizeof text,
                      "Error on writing address: 0x%0x. Writing operation will be canceled",
                      address);
        out_.message(text, true);
        return;
      }
      default:
        break;
    }
    flushHeld(Tone::Failure);
  }

 private:
  void flushHeld(Tone tone = Tone::Normal) {
    if (held_.empty()) return;
    out_.status(held_, tone);
    held_.clear();
  }

  Output& out_;
  Flow flow_;
  Phase phase_;
  bool endsWithWords_;
  std::string held_;
};

// The device's four version characters as every output spells them.
std::string versionOf(const flow::Outcome& outcome) {
  if (!outcome.deviceVersion) return {};
  return spelledVersion(nuv::mac::versionText(outcome.deviceVersion->data()));
}

std::string deviceVersionRefusal(const flow::Outcome& outcome) {
  const std::string required = std::string(1, nuv::image::kProgramVersion[1]) + ".x";
  const std::string version = versionOf(outcome);
  if (version.empty())
    return "the device's firmware version is refused (this updater needs " + required +
           "); nothing was erased";
  return "the device reports version " + version + "; this updater needs " + required +
         "; nothing was erased";
}

struct OpenedLink {
  std::unique_ptr<run::DeviceLink> link;
  int refused = kExitSuccess;  // the exit code when there is no link
};

OpenedLink openLink(const Options& options, Output& out, const SessionIo& io) {
  if (options.sim) {
    SimSetup& sim = simFor(options, io);
    auto link = run::openSimLink(*sim.bus, sim.path);
    if (!link) {
      out.result(kExitNoDevice, "the emulated device is not there");
      return {nullptr, kExitNoDevice};
    }
    return {std::move(link), kExitSuccess};
  }
#ifdef __linux__
  std::string path;
  if (auto refused = checkDeviceAccess(options, out, &path)) return {nullptr, *refused};
  auto link = run::openHidrawLink(path, io.systemCalls());
  if (!link) {
    out.message(link.error().describe(), true);
    out.result(kExitNoDevice, "cannot open " + path);
    return {nullptr, kExitNoDevice};
  }
  return {std::move(link).value(), kExitSuccess};
#else
  out.result(kExitNoDevice, "no device access on this system");
  return {nullptr, kExitNoDevice};
#endif
}

std::unique_ptr<flow::Engine> makeEngine(const Options& options) {
  if (options.command == Command::Verify)
    return std::make_unique<flow::VerifyFlow>(options.flow == Flow::Echo);
  const bool download = options.command == Command::Download;
  if (options.flow == Flow::Echo) {
    return std::make_unique<flow::EchoFlow>(
        download ? flow::EchoFlow::Task::Download : flow::EchoFlow::Task::Version,
        std::chrono::seconds(options.stallSeconds));
  }
  return std::make_unique<flow::StrictFlow>(download ? flow::StrictFlow::Task::Download
                                                     : flow::StrictFlow::Task::Version);
}

// Runs one engine over the link and tells it. Returns its outcome.
flow::Outcome runOne(flow::Engine& engine, std::span<const std::uint8_t> image,
                     run::DeviceLink& link, Output& out, Flow flow, Phase phase, bool endsWithWords,
                     const std::atomic<bool>& cancel) {
  Presenter presenter(out, flow, phase, endsWithWords);
  run::RunSettings settings;
  settings.cancel = &cancel;
  const flow::Outcome outcome = run::runFlow(engine, image, link, presenter, settings);
  presenter.finish(outcome);
  return outcome;
}

}  // namespace

int exitCodeOf(const flow::Outcome& outcome) {
  switch (outcome.kind) {
    case OutcomeKind::Completed:
      return kExitSuccess;
    case OutcomeKind::Cancelled:
      return kExitInterrupted;
    case OutcomeKind::NoDevice:
      return kExitNoDevice;
    case OutcomeKind::ImageRefused:
      return kExitImageRefused;
    case OutcomeKind::DeviceVersionRefused:
      return kExitDeviceVersion;
    case OutcomeKind::VerifyMismatch:
      return kExitVerifyMismatch;
    case OutcomeKind::FileError:
      return kExitFileError;
    case OutcomeKind::Timeout:
    case OutcomeKind::NoResponse:
    case OutcomeKind::DataError:
    case OutcomeKind::WriteFailed:
    case OutcomeKind::EchoMismatch:
    case OutcomeKind::DeviceGone:
    case OutcomeKind::Stalled:
      break;
  }
  return kExitExchangeFailed;
}

int runDeviceCommand(const Options& options, Output& out, const SessionIo& io,
                     const std::atomic<bool>& cancel) {
  const std::string command = commandSpec(options.command)->name;
  std::vector<std::uint8_t> image;
  if (options.command != Command::Version) {
    // The image was judged before any device was looked for; it is read again here, as the
    // bytes that go out.
    auto file = readFile(options.operands.at(0), nuv::image::kImageSize);
    if (!file) {
      out.message(file.error().describe(), true);
      out.result(kExitFileError, "the update image could not be read");
      return kExitFileError;
    }
    image = std::move(file).value().bytes;
  }
  OpenedLink opened = openLink(options, out, io);
  if (!opened.link) return opened.refused;

  // QuenlorHID shows "Ready" once it has its device.
  if (options.flow == Flow::Echo && options.command != Command::Verify) out.status("Ready");
  const auto engine = makeEngine(options);
  const Phase phase = options.command == Command::Verify ? Phase::Verify : Phase::Write;
  // Vornex's version query ends with its "Version:" status line; QuenlorHID's shows the
  // version once the flow is over ("Version: 1.01").
  const bool echoVersion = options.flow == Flow::Echo && options.command == Command::Version;
  flow::Outcome outcome =
      runOne(*engine, image, *opened.link, out, options.flow, phase, !echoVersion, cancel);

  if (outcome.succeeded() && options.command == Command::Version) {
    const std::string version = versionOf(outcome);
    if (echoVersion)
      out.status("Version: " + nuv::mac::versionText(outcome.deviceVersion->data()), Tone::Success);
    out.answer(JsonLine("version").text("version", version), "version", version);
  }
  if (outcome.succeeded() && options.command == Command::Download && options.verifyAfter) {
    // The read-back, on the same link: the device the download just wrote.
    flow::VerifyFlow verify(options.flow == Flow::Echo);
    outcome = runOne(verify, image, *opened.link, out, options.flow, Phase::Verify, true, cancel);
  }

  const int code = exitCodeOf(outcome);
  ResultDetail detail{outcome, {}, false};
  switch (outcome.kind) {
    case OutcomeKind::Completed:
      out.result(code, "", &detail);
      break;
    case OutcomeKind::DeviceVersionRefused:
      detail.next = "update the device with an image made for its version";
      out.result(code, deviceVersionRefusal(outcome), &detail);
      break;
    case OutcomeKind::VerifyMismatch: {
      char first[16];
      std::snprintf(first, sizeof first, "0x%04X", outcome.address.value_or(0));
      std::string summary =
          std::to_string(outcome.mismatchedBytes) + " bytes differ, the first at " + first;
      // A fresh emulated device holds no image: a verify of it shows what a mismatch looks like.
      if (options.sim && options.command == Command::Verify)
        summary +=
            "; the emulated device starts blank: download --sim --verify writes the image "
            "first and then compares";
      detail.next = "run download again, then verify";
      out.result(code, summary, &detail);
      break;
    }
    default: {
      const FailureReport failure = describeFailure(outcome, command);
      detail.next = failure.next;
      detail.failureLine = true;
      out.result(code, "", &detail);
      break;
    }
  }
  return code;
}

}  // namespace nuv::cli
