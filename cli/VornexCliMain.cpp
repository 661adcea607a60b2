// vornex-cli: the terminal front end of the updater. See `vornex-cli --help`.
#include <algorithm>
#include <cstdio>
#include <string>
#include <variant>
#include <vector>

#include "CommandLine.h"
#include "Completion.h"
#include "DeviceCommands.h"
#include "Doctor.h"
#include "Emulate.h"
#include "ExitCodes.h"
#include "FleetCommand.h"
#include "Flows.h"
#include "ImageTools.h"
#include "JsonLine.h"
#include "Options.h"
#include "Output.h"
#include "SelectDevices.h"
#include "SessionIo.h"
#include "UpdateImage.h"

#ifndef NUV_CLI_VERSION
#define NUV_CLI_VERSION "unknown"
#endif

namespace {

// version, download or verify on the one device of options.devicePath, with the session
// record and replay.
int runOnOneDevice(const cli::Options& options, cli::Output& out) {
  auto opened = cli::openSessionIo(options, out);
  if (auto* refused = std::get_if<int>(&opened)) return *refused;
  cli::SessionIo& io = std::get<cli::SessionIo>(opened);
  int code = cli::kExitUsage;
  if (options.command == cli::Command::Verify) {
    code = cli::runVerify(options, out, io);
  } else {
    code = options.flow == cli::Flow::Echo ? cli::runEchoFlow(options, out, io)
                                           : cli::runStrictFlow(options, out, io);
  }
  return cli::finishSessionIo(options, io, code, out);
}

int run(const cli::Options& options) {
  using cli::Command;
  cli::Output out(cli::pickMode(options.json, options.quiet), options.verbose);
  switch (options.command) {
    case Command::List:
      return cli::runList(options, out);
    case Command::Verify:
    case Command::Version:
    case Command::Download:
      break;
    case Command::Inspect:
      return cli::runInspect(options, out);
    case Command::Pack:
      return cli::runPack(options, out);
    case Command::Unpack:
      return cli::runUnpack(options, out);
    case Command::Emulate:
      return cli::runEmulate(options, out);
    case Command::Doctor:
      return cli::runDoctor(options, out);
    case Command::UdevRule:
      return cli::runUdevRule(options, out);
    case Command::Completion:
      // parseOptions has checked the shell's name.
      std::fputs(cli::completionScript(*cli::shellNamed(options.operands.front())).c_str(), stdout);
      return cli::kExitSuccess;
    case Command::Help:
    case Command::None:
      return cli::kExitUsage;
  }
  // The commands that talk to a device: which device, or which devices.
  if (options.station) return cli::runFleetCommand(options, {}, out);
  cli::Options one = options;
  if (cli::needsSelection(options)) {
    auto picked = cli::findSelectedDevices(options, out);
    if (auto* refused = std::get_if<int>(&picked)) return *refused;
    const auto& devices = std::get<std::vector<cli::DeviceRecord>>(picked);
    if (devices.size() > 1 || cli::wantsFleet(options))
      return cli::runFleetCommand(options, devices, out);
    one.devicePath = devices.front().node;
  }
  return runOnOneDevice(one, out);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  auto parsed = cli::parseOptions(args);
  if (!parsed) {
    const std::string& mistake = parsed.error().text;
    std::fprintf(stderr, "vornex-cli: %s\n", mistake.c_str());
    // With --json a script reads standard output only: the refusal is a result object there.
    if (std::find(args.begin(), args.end(), "--json") != args.end()) {
      const std::string why = mistake.substr(0, mistake.find('\n'));
      std::printf("%s\n", cli::JsonLine("result")
                               .number("exit_code", cli::kExitUsage)
                               .flag("ok", false)
                               .text("summary", why)
                               .str()
                               .c_str());
    }
    return cli::kExitUsage;
  }
  const cli::Options& options = parsed.value();
  if (options.showVersion) {
    std::printf("vornex-cli %s (update image version %s)\n", NUV_CLI_VERSION,
                std::string(nuv::image::kProgramVersion).c_str());
    return cli::kExitSuccess;
  }
  if (options.showHelp || options.command == cli::Command::Help) {
    cli::Command page = options.command;
    if (options.command == cli::Command::Help && !options.operands.empty()) {
      const auto named = cli::commandNamed(options.operands.front());
      if (!named) {
        std::fprintf(stderr, "vornex-cli: no help for '%s'\nTry 'vornex-cli --help'.\n",
                     options.operands.front().c_str());
        return cli::kExitUsage;
      }
      page = *named;
    }
    std::fputs(cli::helpText(page).c_str(), stdout);
    return cli::kExitSuccess;
  }
  return run(options);
}
