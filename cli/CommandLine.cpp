#include "cli/CommandLine.h"

#include "cli/ExitCodes.h"

#include <vector>

namespace nuv::cli {
namespace {

constexpr CommandSet bits(std::initializer_list<Command> commands) {
  CommandSet set = 0;
  for (Command c : commands) set |= commandBit(c);
  return set;
}

using C = Command;
using K = Completes;

constexpr CommandSpec kCommands[] = {
    {C::List, "list", "", 0, K::Nothing, nullptr,
     "list the matching devices and whether they can be opened"},
    {C::Version, "version", "", 0, K::Nothing, nullptr, "ask the device for its firmware version"},
    {C::Download, "download", "IMAGE", 1, K::File, nullptr,
     "write an update image into the device (--verify: and read it back)"},
    {C::Verify, "verify", "IMAGE", 1, K::File, nullptr,
     "read the device back and compare it with the image"},
    {C::Inspect, "inspect", "IMAGE", 1, K::File, nullptr,
     "tell whether an update image would be accepted, and why not"},
    {C::Pack, "pack", "FIRMWARE -o IMAGE", 1, K::File, nullptr,
     "make an update image from a raw 64,512-byte firmware"},
    {C::Unpack, "unpack", "IMAGE -o FIRMWARE", 1, K::File, nullptr,
     "take the raw firmware out of an update image"},
    {C::Emulate, "emulate", "", 0, K::Nothing, nullptr,
     "be the update device for this machine's kernel (Linux, /dev/uhid)"},
    {C::Doctor, "doctor", "", 0, K::Nothing, nullptr,
     "check hidraw, the udev rule, access to the devices, and explain"},
    {C::UdevRule, "udev-rule", "", 0, K::Nothing, nullptr,
     "print the udev rule that lets the logged-in user open the device"},
    {C::Completion, "completion", "SHELL", 1, K::Choice, kShellNames,
     "print the completion script for bash, zsh or fish"},
    {C::Help, "help", "[COMMAND]", 1, K::CommandName, nullptr, "this text, or one command's page"},
};

// The commands that find a device (or the emulated one) and talk to it.
constexpr CommandSet kDeviceCommands = bits({C::List, C::Version, C::Download, C::Verify});
constexpr CommandSet kSessionCommands = bits({C::Version, C::Download, C::Verify});
constexpr CommandSet kSimCommands = kDeviceCommands | commandBit(C::Emulate);
constexpr CommandSet kStationCommands = bits({C::Download, C::Emulate});

constexpr OptionSpec kOptions[] = {
    {OptionId::Device, "--device", 0, "SELECTOR", K::HidrawNode, nullptr, kDeviceCommands,
     "a hidraw node or a link to one, usb:PORT or serial:TEXT (repeatable)"},
    {OptionId::All, "--all", 0, nullptr, K::Nothing, nullptr, kDeviceCommands,
     "every matching device (version, download and verify run on all at once)"},
    {OptionId::Wait, "--wait", 0, "SECONDS", K::Nothing, nullptr, kDeviceCommands,
     "wait for the selected devices to appear (at most SECONDS when given)", true},
    {OptionId::Retries, "--retries", 0, "N", K::Nothing, nullptr, bits({C::Download}),
     "after an exchange failure, start that device's flow again, up to N times"},
    {OptionId::Station, "--station", 0, nullptr, K::Nothing, nullptr, bits({C::Download}),
     "flash each matching device as it is plugged in, until Ctrl-C or --count"},
    {OptionId::Count, "--count", 0, "N", K::Nothing, nullptr, kStationCommands,
     "station: stop after N devices; emulate: present N devices"},
    {OptionId::Sim, "--sim", 0, nullptr, K::Nothing, nullptr, kDeviceCommands,
     "use the emulated update device instead of hardware"},
    {OptionId::SimDevices, "--sim-devices", 0, "N", K::Nothing, nullptr, kDeviceCommands,
     "N emulated devices on the virtual bus, each with its own serial and port (1 to 64)"},
    {OptionId::SimLatency, "--sim-latency", 0, "MS", K::Nothing, nullptr, kSimCommands,
     "the emulated device answers after MS milliseconds (0 to 60000)"},
    {OptionId::SimVersion, "--sim-version", 0, "TEXT", K::Nothing, nullptr, kSimCommands,
     "the emulated device reports this version (up to 4 characters)"},
    {OptionId::SimFault, "--sim-fault", 0, "[N:]KIND@WHERE", K::Nothing, nullptr, kSimCommands,
     "the emulated device (the N-th only) misbehaves there (repeatable; see download)"},
    {OptionId::Flow, "--flow", 0, "strict|echo", K::Choice, "strict echo", kSessionCommands,
     "Vornex's flow (strict, the default) or QuenlorHID's (echo)"},
    {OptionId::StallTimeout, "--stall-timeout", 0, "SECONDS", K::Nothing, nullptr,
     bits({C::Version, C::Download}),
     "--flow echo: give up after SECONDS without a reply (default 10; 0: wait for ever)"},
    {OptionId::Verify, "--verify", 0, nullptr, K::Nothing, nullptr, bits({C::Download}),
     "after a successful download, read the device back and compare"},
    {OptionId::Record, "--record", 0, "FILE", K::File, nullptr, kSessionCommands,
     "write every report sent and received, with its time, to FILE as JSON lines"},
    {OptionId::SimReplay, "--sim-replay", 0, "FILE", K::File, nullptr, kSessionCommands,
     "the emulated device answers as the device of a recorded session did"},
    {OptionId::Output, "--output", 'o', "FILE", K::File, nullptr, bits({C::Pack, C::Unpack}),
     "the file that pack or unpack writes"},
    {OptionId::Force, "--force", 'f', nullptr, K::Nothing, nullptr,
     bits({C::Pack, C::Unpack}) | kSessionCommands, "replace an existing output or record file"},
    {OptionId::Filler, "--filler", 0, "BYTE", K::Nothing, nullptr, bits({C::Pack}),
     "the byte for the image's gap and record fillers (default 0xFF)"},
    {OptionId::MemoryOut, "--memory-out", 0, "FILE", K::File, nullptr, bits({C::Emulate}),
     "emulate: write the device's memory to FILE when it stops and on SIGUSR1"},
    {OptionId::ReadyFile, "--ready-file", 0, "FILE", K::File, nullptr, bits({C::Emulate}),
     "emulate: write the hidraw node's path to FILE once the kernel made it"},
    {OptionId::Uhid, "--uhid", 0, "PATH", K::File, nullptr, bits({C::Emulate}),
     "emulate: the uhid device node (default /dev/uhid)"},
    {OptionId::Json, "--json", 0, nullptr, K::Nothing, nullptr, kAllCommands,
     "one JSON object per line: status, progress, messages, result"},
    {OptionId::Quiet, "--quiet", 'q', nullptr, K::Nothing, nullptr, kAllCommands,
     "only the answers (a version, the devices) and errors"},
    {OptionId::Verbose, "--verbose", 'v', nullptr, K::Nothing, nullptr, kAllCommands,
     "also the programs' log lines"},
    {OptionId::Color, "--color", 0, "WHEN", K::Choice, "auto always never", kAllCommands,
     "colour: auto (on a terminal, unless NO_COLOR or TERM=dumb), always or never", true},
    {OptionId::Help, "--help", 'h', nullptr, K::Nothing, nullptr, kAllCommands,
     "the overview, or the page of the command given"},
    {OptionId::Version, "--version", 'V', nullptr, K::Nothing, nullptr, kAllCommands,
     "the program's version"},
};

constexpr ExitStatusSpec kExitStatuses[] = {
    {kExitSuccess, "success"},
    {kExitDoctorProblem, "doctor: a problem was found other than a missing device"},
    {kExitUsage, "usage error: the command line is wrong"},
    {kExitNoDevice, "no matching device, or it cannot be opened"},
    {kExitImageRefused, "the file is not an update image (or firmware) this tool accepts"},
    {kExitDeviceVersion, "the device's version is refused (\"Device ver is error\")"},
    {kExitExchangeFailed, "the device answered wrongly, late or not at all"},
    {kExitFileError, "a file could not be read or written"},
    {kExitVerifyMismatch, "the device's memory differs from the image"},
    {kExitInterrupted, "Ctrl-C (Stop) ended the run"},
};

}  // namespace

std::span<const CommandSpec> commandTable() {
  return kCommands;
}
std::span<const OptionSpec> optionTable() {
  return kOptions;
}
std::span<const ExitStatusSpec> exitStatusTable() {
  return kExitStatuses;
}

const CommandSpec* commandSpec(Command command) {
  for (const auto& c : kCommands)
    if (c.command == command) return &c;
  return nullptr;
}

const OptionSpec* optionNamed(const std::string& arg) {
  for (const auto& o : kOptions) {
    if (arg == o.longName) return &o;
    if (o.shortName != 0 && arg.size() == 2 && arg[0] == '-' && arg[1] == o.shortName) return &o;
    // --name=value: only for options that take a value.
    const std::string prefix = std::string(o.longName) + "=";
    if (o.value != nullptr && arg.rfind(prefix, 0) == 0) return &o;
  }
  return nullptr;
}

std::string commandsOf(const OptionSpec& option) {
  std::vector<const char*> names;
  for (const auto& c : kCommands)
    if (c.command != Command::Help && appliesTo(option, c.command)) names.push_back(c.name);
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += i + 1 == names.size() ? " and " : ", ";
    text += names[i];
  }
  return text;
}

std::optional<Shell> shellNamed(const std::string& name) {
  if (name == "bash") return Shell::Bash;
  if (name == "zsh") return Shell::Zsh;
  if (name == "fish") return Shell::Fish;
  return std::nullopt;
}

}  // namespace nuv::cli
