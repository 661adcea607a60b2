// vornex-cli's command line.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace cli {

enum class Command {
  None, List, Version, Download, Verify, Inspect, Pack, Unpack, Emulate, Doctor, UdevRule,
  Completion, Help
};
enum class Flow { Strict, Echo };

struct Options {
  Command command = Command::None;
  std::vector<std::string> operands;  // IMAGE / FIRMWARE, the command asked about by help, or
                                      // completion's SHELL
  std::string output;                 // -o for pack and unpack
  bool force = false;                 // pack/unpack may replace an existing file
  unsigned filler = 0xFF;             // pack: the gap and record filler byte

  std::string devicePath;  // --device
  bool sim = false;        // --sim: the emulated device
  unsigned simLatencyMs = 0;
  std::optional<std::string> simVersion;
  std::vector<std::string> simFaults;  // KIND@WHERE texts, checked when parsed
  Flow flow = Flow::Strict;
  bool verifyAfter = false;  // download --verify: read the device back after the update
  std::string record;        // --record: every report sent and received, as JSON lines
  std::string simReplay;     // --sim-replay: the emulated device answers as this record did

  // emulate: the emulated device (the --sim-... options above) as a HID device of the kernel.
  std::string memoryOut;  // --memory-out: the device's memory, written when it stops
  std::string readyFile;  // --ready-file: the hidraw node's path, once the kernel made it
  std::string uhidPath;   // --uhid: the uhid node; empty means /dev/uhid

  bool json = false;
  bool quiet = false;
  bool verbose = false;
  bool showHelp = false;     // --help, alone or after a command
  bool showVersion = false;  // --version
};

// Parses argv[1..]. On a mistake returns the message to print (with a hint to --help).
[[nodiscard]] std::variant<Options, std::string> parseOptions(const std::vector<std::string>& args);

// The help text: the overview, or one command's page.
[[nodiscard]] std::string helpText(Command command);

[[nodiscard]] std::optional<Command> commandNamed(const std::string& name);

}  // namespace cli
