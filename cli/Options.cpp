#include "cli/Options.h"

#include <charconv>
#include <cstdlib>

#include "cli/CommandLine.h"
#include "sim/Faults.h"

namespace nuv::cli {
namespace {

std::optional<unsigned> parseUnsigned(const std::string& text, unsigned max) {
  int base = 10;
  std::string_view s = text;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    base = 16;
  }
  unsigned value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
  if (s.empty() || ec != std::errc{} || end != s.data() + s.size() || value > max)
    return std::nullopt;
  return value;
}

// Whether `next` is the value of an option whose value may be left out.
bool isOptionalValue(const OptionSpec& option, const std::string& next) {
  if (option.id == OptionId::Wait)
    return !next.empty() && next.find_first_not_of("0123456789") == std::string::npos;
  if (option.id == OptionId::Color) return next == "auto" || next == "always" || next == "never";
  return false;
}

bool isFleetSelection(const Options& o) {
  return o.allDevices || o.deviceSelectors.size() > 1;
}

nuv::Error usageError(const std::string& what) {
  return nuv::Error::message(what + "\nTry 'vornex-cli --help'.");
}

}  // namespace

std::optional<Command> commandNamed(const std::string& name) {
  for (const auto& c : commandTable())
    if (name == c.name) return c.command;
  return std::nullopt;
}

DeviceFault splitDeviceFault(const std::string& text) {
  // "2:no-reply@0x2000": a device number before the first ':'. A kind never starts with a
  // digit ("late:50@..." keeps its colon).
  const auto colon = text.find(':');
  if (colon == std::string::npos || colon == 0 || text.find_first_not_of("0123456789") != colon) {
    return {std::nullopt, text};
  }
  unsigned number = 0;
  std::from_chars(text.data(), text.data() + colon, number);
  return {number, text.substr(colon + 1)};
}

bool wantsFleet(const Options& options) {
  return isFleetSelection(options) || options.station;
}

nuv::Result<Options> parseOptions(const std::vector<std::string>& args) {
  Options o;
  std::vector<const OptionSpec*> given;  // every option given, for the check of its command
  bool optionsEnded = false;             // after "--" every argument is a command or operand
  bool stallGiven = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const OptionSpec* option = optionsEnded ? nullptr : optionNamed(a);
    if (option == nullptr) {
      if (!optionsEnded && a == "--") {
        optionsEnded = true;
        continue;
      }
      if (!optionsEnded && a.size() > 1 && a[0] == '-')
        return usageError("unknown option '" + a + "'");
      if (o.command == Command::None) {
        auto c = commandNamed(a);
        if (!c) return usageError("unknown command '" + a + "'");
        o.command = *c;
      } else {
        o.operands.push_back(a);
      }
      continue;
    }
    given.push_back(option);
    // The value of an option that takes one: after '=' or the next argument. An optional
    // value (--wait, --color) is taken from the next argument only when it is one: seconds
    // for --wait, a word of its choices for --color.
    std::optional<std::string> v;
    if (option->value != nullptr) {
      const std::string prefix = std::string(option->longName) + "=";
      if (a.rfind(prefix, 0) == 0)
        v = a.substr(prefix.size());
      else if (i + 1 < args.size() &&
               (!option->valueOptional || isOptionalValue(*option, args[i + 1])))
        v = args[++i];
    }
    switch (option->id) {
      case OptionId::Help:
        o.showHelp = true;
        break;
      case OptionId::Version:
        o.showVersion = true;
        break;
      case OptionId::Json:
        o.json = true;
        break;
      case OptionId::Quiet:
        o.quiet = true;
        break;
      case OptionId::Verbose:
        o.verbose = true;
        break;
      case OptionId::Color:
        if (!v || *v == "auto")
          o.color = ColorMode::Auto;
        else if (*v == "always")
          o.color = ColorMode::Always;
        else if (*v == "never")
          o.color = ColorMode::Never;
        else
          return usageError("--color is 'auto', 'always' or 'never'");
        break;
      case OptionId::Force:
        o.force = true;
        break;
      case OptionId::Verify:
        o.verifyAfter = true;
        break;
      case OptionId::Sim:
        o.sim = true;
        break;
      case OptionId::Device:
        if (!v || v->empty()) return usageError("--device needs a node, usb:PORT or serial:TEXT");
        if ((v->starts_with("usb:") || v->starts_with("serial:")) && v->find(':') + 1 == v->size())
          return usageError("--device " + *v + " needs what follows the ':'");
        o.deviceSelectors.push_back(*v);
        break;
      case OptionId::All:
        o.allDevices = true;
        break;
      case OptionId::Station:
        o.station = true;
        break;
      case OptionId::Wait:
        if (!v) {
          o.waitSeconds = Options::kWaitForever;
        } else {
          auto n = parseUnsigned(*v, 86400);
          if (!n) return usageError("--wait=SECONDS needs seconds, 0 to 86400");
          o.waitSeconds = *n;
        }
        break;
      case OptionId::StallTimeout: {
        auto n = v ? parseUnsigned(*v, 86400) : std::nullopt;
        if (!n) return usageError("--stall-timeout needs seconds, 0 to 86400 (0: wait for ever)");
        o.stallSeconds = *n;
        stallGiven = true;
        break;
      }
      case OptionId::Retries: {
        auto n = v ? parseUnsigned(*v, 100) : std::nullopt;
        if (!n) return usageError("--retries needs a number, 0 to 100");
        o.retries = *n;
        break;
      }
      case OptionId::Count: {
        auto n = v ? parseUnsigned(*v, 1000000) : std::nullopt;
        if (!n || *n == 0) return usageError("--count needs a number of devices, 1 or more");
        o.count = *n;
        break;
      }
      case OptionId::SimDevices: {
        auto n = v ? parseUnsigned(*v, 64) : std::nullopt;
        if (!n || *n == 0) return usageError("--sim-devices needs a number, 1 to 64");
        o.simDevices = *n;
        break;
      }
      case OptionId::Output:
        if (!v || v->empty()) return usageError("-o needs a file name");
        o.output = *v;
        break;
      case OptionId::Filler: {
        auto n = v ? parseUnsigned(*v, 0xFF) : std::nullopt;
        if (!n) return usageError("--filler needs a byte value, 0 to 255 or 0x00 to 0xFF");
        o.filler = *n;
        break;
      }
      case OptionId::Flow:
        if (v == "strict")
          o.flow = Flow::Strict;
        else if (v == "echo")
          o.flow = Flow::Echo;
        else
          return usageError("--flow is 'strict' (the default) or 'echo'");
        break;
      case OptionId::SimLatency: {
        auto n = v ? parseUnsigned(*v, 60000) : std::nullopt;
        if (!n) return usageError("--sim-latency needs milliseconds, 0 to 60000");
        o.simLatencyMs = *n;
        break;
      }
      case OptionId::SimVersion:
        if (!v || v->size() > 4)
          return usageError("--sim-version needs up to four characters, such as 1.01");
        o.simVersion = *v;
        break;
      case OptionId::SimFault: {
        if (!v) return usageError("--sim-fault needs [N:]KIND@WHERE");
        const DeviceFault named = splitDeviceFault(*v);
        if (named.deviceNumber == 0u) return usageError("--sim-fault: devices are numbered from 1");
        auto fault = sim::parseFault(named.fault);
        if (!fault) return usageError("--sim-fault: " + fault.error().text);
        o.simFaults.push_back(*v);
        break;
      }
      case OptionId::Record:
        if (!v || v->empty()) return usageError("--record needs a file name");
        o.record = *v;
        break;
      case OptionId::SimReplay:
        if (!v || v->empty()) return usageError("--sim-replay needs a session record");
        o.simReplay = *v;
        break;
      case OptionId::MemoryOut:
      case OptionId::ReadyFile:
      case OptionId::Uhid:
        if (!v || v->empty()) return usageError(std::string(option->longName) + " needs a path");
        (option->id == OptionId::MemoryOut   ? o.memoryOut
         : option->id == OptionId::ReadyFile ? o.readyFile
                                             : o.uhidPath) = *v;
        break;
    }
  }
  if (o.showHelp || o.showVersion) return o;
  if (o.command == Command::None) return usageError("no command given");
  if (o.command == Command::Help) return o;
  for (const OptionSpec* option : given)
    if (!appliesTo(*option, o.command))
      return usageError(std::string(option->longName) + " belongs to " + commandsOf(*option) +
                        ", not to " + commandSpec(o.command)->name);
  // Only --sim emulates: an option that describes the emulated device never quietly stands
  // for it (emulate is the emulated device itself).
  if (!o.sim && o.command != Command::Emulate)
    for (const OptionSpec* option : given)
      if (std::string_view(option->longName).starts_with("--sim-"))
        return usageError(std::string(option->longName) +
                          " describes the emulated device: add --sim to use it (without --sim "
                          "vornex-cli works on the attached hardware)");
  if (o.verbose && o.quiet) return usageError("--verbose and --quiet exclude each other");
  if (stallGiven && o.flow != Flow::Echo)
    return usageError("--stall-timeout is for --flow echo (the strict flow has its own time-out)");
  if (o.command == Command::Completion) {
    if (o.operands.size() != 1) return usageError("completion needs one shell: bash, zsh or fish");
    if (!shellNamed(o.operands.front()))
      return usageError("completion: unknown shell '" + o.operands.front() +
                        "' (bash, zsh or fish)");
  } else if (const CommandSpec* c = commandSpec(o.command);
             c && o.operands.size() != c->operandCount) {
    return usageError(std::string(c->name) +
                      (c->operandCount == 0 ? " takes no operand" : " needs exactly one file"));
  }
  if ((o.command == Command::Pack || o.command == Command::Unpack) && o.output.empty())
    return usageError("pack and unpack need -o OUTPUT");
  if (o.allDevices && !o.deviceSelectors.empty())
    return usageError("--all and --device exclude each other");
  if (o.count && o.command == Command::Download && !o.station)
    return usageError("--count belongs to --station (or to emulate)");
  if (o.station && o.waitSeconds)
    return usageError("--station waits for devices itself: --wait does not apply");
  // The numbered devices that faults name exist: --sim-devices, or emulate's --count.
  const unsigned devicesThere = o.command == Command::Emulate ? o.count.value_or(1) : o.simDevices;
  for (const std::string& text : o.simFaults)
    if (auto n = splitDeviceFault(text).deviceNumber; n && *n > devicesThere)
      return usageError("--sim-fault " + text + ": there is no device " + std::to_string(*n) +
                        " (" + std::to_string(devicesThere) + " emulated)");
  // The one node of a single-device command when a node path names it; selection resolves the
  // rest (DeviceSelection.h).
  if (o.deviceSelectors.size() == 1) o.devicePath = o.deviceSelectors.front();
  if (!o.simReplay.empty() && (!o.simFaults.empty() || o.simVersion || o.simLatencyMs > 0))
    return usageError(
        "a replayed device answers as recorded: --sim-fault, --sim-version and "
        "--sim-latency do not apply");
  if ((!o.record.empty() || !o.simReplay.empty()) && wantsFleet(o))
    return usageError(
        "--record and --sim-replay are for one device at a time: not with --all, "
        "several --device or --station");
  return o;
}

}  // namespace nuv::cli
