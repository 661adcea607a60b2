#include "Options.h"

#include <charconv>
#include <cstdlib>

#include "Faults.h"

namespace cli {
namespace {

struct CommandInfo {
  Command command;
  const char* name;
  std::size_t operands;  // how many operands the command takes
};

constexpr CommandInfo kCommands[] = {
    {Command::List, "list", 0},         {Command::Version, "version", 0},
    {Command::Download, "download", 1}, {Command::Verify, "verify", 1},
    {Command::Inspect, "inspect", 1},   {Command::Pack, "pack", 1},
    {Command::Unpack, "unpack", 1},     {Command::Emulate, "emulate", 0},
    {Command::Help, "help", 0},
};

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

std::string usageError(const std::string& what) {
  return what + "\nTry 'vornex-cli --help'.";
}

}  // namespace

std::optional<Command> commandNamed(const std::string& name) {
  for (const auto& c : kCommands)
    if (name == c.name) return c.command;
  return std::nullopt;
}

std::variant<Options, std::string> parseOptions(const std::vector<std::string>& args) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](const char* flag) -> std::optional<std::string> {
      const std::string prefix = std::string(flag) + "=";
      if (a.rfind(prefix, 0) == 0) return a.substr(prefix.size());
      if (i + 1 < args.size()) return args[++i];
      return std::nullopt;
    };
    auto is = [&](const char* flag) {
      return a == flag || a.rfind(std::string(flag) + "=", 0) == 0;
    };

    if (a == "--help" || a == "-h") {
      o.showHelp = true;
    } else if (a == "--version" || a == "-V") {
      o.showVersion = true;
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--quiet" || a == "-q") {
      o.quiet = true;
    } else if (a == "--verbose" || a == "-v") {
      o.verbose = true;
    } else if (a == "--force" || a == "-f") {
      o.force = true;
    } else if (a == "--verify") {
      o.verifyAfter = true;
    } else if (a == "--sim") {
      o.sim = true;
    } else if (is("--device")) {
      auto v = value("--device");
      if (!v || v->empty()) return usageError("--device needs a device path");
      o.devicePath = *v;
    } else if (a == "-o" || is("--output")) {
      auto v = a == "-o" ? (i + 1 < args.size() ? std::optional(args[++i]) : std::nullopt)
                         : value("--output");
      if (!v || v->empty()) return usageError("-o needs a file name");
      o.output = *v;
    } else if (is("--filler")) {
      auto v = value("--filler");
      auto n = v ? parseUnsigned(*v, 0xFF) : std::nullopt;
      if (!n) return usageError("--filler needs a byte value, 0 to 255 or 0x00 to 0xFF");
      o.filler = *n;
    } else if (is("--flow")) {
      auto v = value("--flow");
      if (v == "strict")
        o.flow = Flow::Strict;
      else if (v == "echo")
        o.flow = Flow::Echo;
      else
        return usageError("--flow is 'strict' (the default) or 'echo'");
    } else if (is("--sim-latency")) {
      auto v = value("--sim-latency");
      auto n = v ? parseUnsigned(*v, 60000) : std::nullopt;
      if (!n) return usageError("--sim-latency needs milliseconds, 0 to 60000");
      o.simLatencyMs = *n;
      o.sim = true;
    } else if (is("--sim-version")) {
      auto v = value("--sim-version");
      if (!v || v->size() > 4)
        return usageError("--sim-version needs up to four characters, such as 1.01");
      o.simVersion = *v;
      o.sim = true;
    } else if (is("--sim-fault")) {
      auto v = value("--sim-fault");
      if (!v) return usageError("--sim-fault needs KIND@WHERE");
      auto fault = sim::parseFault(*v);
      if (auto* why = std::get_if<std::string>(&fault)) return usageError("--sim-fault: " + *why);
      o.simFaults.push_back(*v);
      o.sim = true;
    } else if (is("--record")) {
      auto v = value("--record");
      if (!v || v->empty()) return usageError("--record needs a file name");
      o.record = *v;
    } else if (is("--sim-replay")) {
      auto v = value("--sim-replay");
      if (!v || v->empty()) return usageError("--sim-replay needs a session record");
      o.simReplay = *v;
      o.sim = true;
    } else if (is("--memory-out") || is("--ready-file") || is("--uhid")) {
      const std::string flag = a.substr(0, a.find('='));
      auto v = value(flag.c_str());
      if (!v || v->empty()) return usageError(flag + " needs a path");
      (flag == "--memory-out"   ? o.memoryOut
       : flag == "--ready-file" ? o.readyFile
                                : o.uhidPath) = *v;
    } else if (a.size() > 1 && a[0] == '-') {
      return usageError("unknown option '" + a + "'");
    } else if (o.command == Command::None) {
      auto c = commandNamed(a);
      if (!c) return usageError("unknown command '" + a + "'");
      o.command = *c;
    } else {
      o.operands.push_back(a);
    }
  }
  if (o.showHelp || o.showVersion) return o;
  if (o.command == Command::None) return usageError("no command given");
  if (o.command == Command::Help) return o;
  for (const auto& c : kCommands) {
    if (c.command != o.command) continue;
    if (o.operands.size() != c.operands)
      return usageError(std::string(c.name) +
                        (c.operands == 0 ? " takes no operand" : " needs exactly one file"));
  }
  if ((o.command == Command::Pack || o.command == Command::Unpack) && o.output.empty())
    return usageError("pack and unpack need -o OUTPUT");
  if (o.verifyAfter && o.command != Command::Download)
    return usageError("--verify belongs to download (the verify command reads the device back)");
  const bool emulateOnly = !o.memoryOut.empty() || !o.readyFile.empty() || !o.uhidPath.empty();
  if (emulateOnly && o.command != Command::Emulate)
    return usageError("--memory-out, --ready-file and --uhid belong to emulate");
  if (o.command == Command::Emulate && !o.devicePath.empty())
    return usageError("emulate presents a device of its own: --device does not apply");
  const bool talksToADevice = o.command == Command::Version || o.command == Command::Download ||
                              o.command == Command::Verify;
  if ((!o.record.empty() || !o.simReplay.empty()) && !talksToADevice)
    return usageError("--record and --sim-replay belong to version, download and verify");
  if (!o.simReplay.empty() && (!o.simFaults.empty() || o.simVersion || o.simLatencyMs > 0))
    return usageError("a replayed device answers as recorded: --sim-fault, --sim-version and "
                      "--sim-latency do not apply");
  if (o.sim && !o.devicePath.empty()) return usageError("--sim and --device exclude each other");
  if (o.json && o.quiet) return usageError("--json and --quiet exclude each other");
  return o;
}

}  // namespace cli
