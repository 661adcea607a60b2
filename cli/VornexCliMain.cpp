// vornex-cli: the terminal front end of the updater. See `vornex-cli --help`.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "cli/CommandLine.h"
#include "cli/Completion.h"
#include "cli/DeviceCommands.h"
#include "cli/Doctor.h"
#include "cli/Emulate.h"
#include "cli/EngineCommands.h"
#include "cli/ExitCodes.h"
#include "cli/Fleet.h"
#include "cli/FleetCommand.h"
#include "cli/ImageTools.h"
#include "cli/Interrupt.h"
#include "cli/JsonLine.h"
#include "cli/Options.h"
#include "cli/Output.h"
#include "cli/SelectDevices.h"
#include "cli/SessionIo.h"
#include "protocol/UpdateImage.h"

#ifndef NUV_CLI_VERSION
#define NUV_CLI_VERSION "unknown"
#endif

namespace {

namespace cli = nuv::cli;

// Who the run is with, in words and as the JSON "start" object: "/dev/hidraw3 (serial A7C2,
// USB 1-4)", or the emulated device.
void announce(const cli::Options& options, const cli::DeviceRecord* record, cli::Output& out) {
  std::string device;
  std::optional<std::string> serial;
  std::optional<std::string> port;
  if (record != nullptr) {
    serial = record->serial;
    port = record->usbPort;
  }
  if (options.sim) {
    device = "the emulated device";
    if (options.simDevices > 1 && record != nullptr) device += " " + record->node;
  } else {
    device = options.devicePath.empty() ? "the update device" : options.devicePath;
  }
  std::string details;
  if (serial) details += "serial " + *serial;
  if (port) details += (details.empty() ? "" : ", ") + std::string("USB ") + *port;
  if (!details.empty() && (!options.sim || options.simDevices > 1)) device += " (" + details + ")";
  const std::string image = options.operands.empty() ? std::string() : options.operands.front();
  std::string text;
  switch (options.command) {
    case cli::Command::Download:
      text = "Writing " + image + " to " + device;
      break;
    case cli::Command::Verify:
      text = "Comparing " + device + " with " + image;
      break;
    default:
      text = "Asking " + device + " for its firmware version";
      break;
  }
  cli::JsonLine json("start");
  json.text("command", cli::commandSpec(options.command)->name);
  if (image.empty())
    json.null("image");
  else
    json.text("image", image);
  json.text("device", options.sim && record == nullptr ? "sim:update-device"
                      : record != nullptr              ? record->node
                                                       : options.devicePath)
      .flag("emulated", options.sim)
      .optionalText("serial", serial)
      .optionalText("usb_port", port)
      .text("flow", options.flow == cli::Flow::Echo ? "echo" : "strict");
  out.start(json, text);
}

// version, download or verify on the one device of options.devicePath, with the session
// record and replay; with --retries, again after an exchange failure, on the same device.
int runOnOneDevice(const cli::Options& options, const cli::DeviceRecord* record, cli::Output& out) {
  auto opened = cli::openSessionIo(options, out);
  if (auto* refused = std::get_if<int>(&opened)) return *refused;
  cli::SessionIo& io = std::get<cli::SessionIo>(opened);
  announce(options, record, out);
  // The result comes last, after what the replay has to say.
  out.holdResult();
  // Ctrl-C stops the flow (the engine ends it as its Stop does); a second one quits at once.
  std::atomic<bool> cancel{false};
  cli::InterruptWatch interrupts(
      [&cancel, &out] {
        cancel.store(true, std::memory_order_release);
        out.detail("Ctrl-C: Stop (Ctrl-C again quits at once)");
      },
      [] {
        (void)!::write(STDERR_FILENO, cli::kInterruptedLine, sizeof cli::kInterruptedLine - 1);
      });
  int code = cli::kExitUsage;
  for (unsigned attempt = 1;; ++attempt) {
    code = cli::runDeviceCommand(options, out, io, cancel);
    if (!cli::retryable(code) || attempt > options.retries) break;
    out.status("Attempt " + std::to_string(attempt + 1) + " of " +
               std::to_string(options.retries + 1) + ", after exit code " + std::to_string(code));
  }
  const int before = code;
  code = cli::finishSessionIo(options, io, code, out);
  if (code != before)
    out.releaseResult(code, "the host departed from the recorded session");
  else
    out.releaseResult();
  return code;
}

int run(const nuv::cli::Options& options) {
  using nuv::cli::Command;
  nuv::cli::Output out(nuv::cli::pickMode(options.json, options.quiet), options.verbose);
  out.setColour(nuv::cli::useColour(options.color, out.mode()));
  switch (options.command) {
    case Command::List:
      return nuv::cli::runList(options, out);
    case Command::Verify:
    case Command::Version:
    case Command::Download:
      break;
    case Command::Inspect:
      return nuv::cli::runInspect(options, out);
    case Command::Pack:
      return nuv::cli::runPack(options, out);
    case Command::Unpack:
      return nuv::cli::runUnpack(options, out);
    case Command::Emulate:
      return nuv::cli::runEmulate(options, out);
    case Command::Doctor:
      return nuv::cli::runDoctor(options, out);
    case Command::UdevRule:
      return nuv::cli::runUdevRule(options, out);
    case Command::Completion:
      // parseOptions has checked the shell's name.
      std::fputs(
          nuv::cli::completionScript(*nuv::cli::shellNamed(options.operands.front())).c_str(),
          stdout);
      return nuv::cli::kExitSuccess;
    case Command::Help:
    case Command::None:
      return nuv::cli::kExitUsage;
  }
  // The commands that talk to a device. The image first: a file that would be refused is
  // refused before any device is looked for.
  if (auto refused = nuv::cli::refuseImage(options, out)) return *refused;
  // Which device, or which devices.
  if (options.station) return nuv::cli::runFleetCommand(options, {}, out);
  nuv::cli::Options one = options;
  std::optional<nuv::cli::DeviceRecord> record;
  if (nuv::cli::needsSelection(options)) {
    auto picked = nuv::cli::findSelectedDevices(options, out);
    if (auto* refused = std::get_if<int>(&picked)) return *refused;
    const auto& devices = std::get<std::vector<nuv::cli::DeviceRecord>>(picked);
    if (devices.size() > 1 || nuv::cli::wantsFleet(options))
      return nuv::cli::runFleetCommand(options, devices, out);
    one.devicePath = devices.front().node;
    record = devices.front();
  } else {
    record = nuv::cli::findDeviceRecord(options, options.devicePath);
  }
  return runOnOneDevice(one, record ? &*record : nullptr, out);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  auto parsed = nuv::cli::parseOptions(args);
  if (!parsed) {
    const std::string& mistake = parsed.error().text;
    std::fprintf(stderr, "vornex-cli: %s\n", mistake.c_str());
    // With --json a script reads standard output only: the refusal is a result object there.
    if (std::find(args.begin(), args.end(), "--json") != args.end()) {
      const std::string why = mistake.substr(0, mistake.find('\n'));
      std::printf("%s\n", nuv::cli::JsonLine("result")
                              .number("exit_code", nuv::cli::kExitUsage)
                              .flag("ok", false)
                              .text("summary", why)
                              .str()
                              .c_str());
    }
    return nuv::cli::kExitUsage;
  }
  const nuv::cli::Options& options = parsed.value();
  if (options.showVersion) {
    std::printf("vornex-cli %s (update image version %s)\n", NUV_CLI_VERSION,
                std::string(nuv::image::kProgramVersion).c_str());
    return nuv::cli::kExitSuccess;
  }
  if (options.showHelp || options.command == nuv::cli::Command::Help) {
    nuv::cli::Command page = options.command;
    if (options.command == nuv::cli::Command::Help && !options.operands.empty()) {
      const auto named = nuv::cli::commandNamed(options.operands.front());
      if (!named) {
        std::fprintf(stderr, "vornex-cli: no help for '%s'\nTry 'vornex-cli --help'.\n",
                     options.operands.front().c_str());
        return nuv::cli::kExitUsage;
      }
      page = *named;
    }
    std::fputs(nuv::cli::helpText(page).c_str(), stdout);
    return nuv::cli::kExitSuccess;
  }
  return run(options);
}
