// vornex-cli: the terminal front end of the updater. See `vornex-cli --help`.
#include <algorithm>
#include <cstdio>
#include <string>
#include <variant>
#include <vector>

#include "cli/CommandLine.h"
#include "cli/Completion.h"
#include "cli/DeviceCommands.h"
#include "cli/Doctor.h"
#include "cli/Emulate.h"
#include "cli/ExitCodes.h"
#include "cli/FleetCommand.h"
#include "cli/Flows.h"
#include "cli/ImageTools.h"
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

// version, download or verify on the one device of options.devicePath, with the session
// record and replay.
int runOnOneDevice(const nuv::cli::Options& options, nuv::cli::Output& out) {
  auto opened = nuv::cli::openSessionIo(options, out);
  if (auto* refused = std::get_if<int>(&opened)) return *refused;
  nuv::cli::SessionIo& io = std::get<nuv::cli::SessionIo>(opened);
  int code = nuv::cli::kExitUsage;
  if (options.command == nuv::cli::Command::Verify) {
    code = nuv::cli::runVerify(options, out, io);
  } else {
    code = options.flow == nuv::cli::Flow::Echo ? nuv::cli::runEchoFlow(options, out, io)
                                                : nuv::cli::runStrictFlow(options, out, io);
  }
  return nuv::cli::finishSessionIo(options, io, code, out);
}

int run(const nuv::cli::Options& options) {
  using nuv::cli::Command;
  nuv::cli::Output out(nuv::cli::pickMode(options.json, options.quiet), options.verbose);
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
  // The commands that talk to a device: which device, or which devices.
  if (options.station) return nuv::cli::runFleetCommand(options, {}, out);
  nuv::cli::Options one = options;
  if (nuv::cli::needsSelection(options)) {
    auto picked = nuv::cli::findSelectedDevices(options, out);
    if (auto* refused = std::get_if<int>(&picked)) return *refused;
    const auto& devices = std::get<std::vector<nuv::cli::DeviceRecord>>(picked);
    if (devices.size() > 1 || nuv::cli::wantsFleet(options))
      return nuv::cli::runFleetCommand(options, devices, out);
    one.devicePath = devices.front().node;
  }
  return runOnOneDevice(one, out);
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
