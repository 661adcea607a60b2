// vornex-cli's command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "protocol/Result.h"

namespace nuv::cli {

enum class Command {
  None,
  List,
  Version,
  Download,
  Verify,
  Inspect,
  Pack,
  Unpack,
  Emulate,
  Doctor,
  UdevRule,
  Completion,
  Help
};
enum class Flow { Strict, Echo };
// --color: colour on a terminal that can show it (auto: not with NO_COLOR or TERM=dumb),
// always, or never.
enum class ColorMode { Auto, Always, Never };

struct Options {
  Command command = Command::None;
  std::vector<std::string> operands;  // IMAGE / FIRMWARE, the command asked about by help, or
                                      // completion's SHELL
  std::string output;                 // -o for pack and unpack
  bool force = false;                 // pack/unpack may replace an existing file
  unsigned filler = 0xFF;             // pack: the gap and record filler byte

  // --device SELECTORs in the order given: a hidraw node or a link to one, usb:PORT or
  // serial:TEXT (see DeviceSelection.h).
  std::vector<std::string> deviceSelectors;
  bool allDevices = false;  // --all: every matching device
  // The one node a single-device command uses: the selection resolved (set before the command
  // runs); empty means the first device found.
  std::string devicePath;
  // --wait[=SECONDS]: wait for the selected devices to appear; kWaitForever for --wait alone.
  std::optional<unsigned> waitSeconds;
  static constexpr unsigned kWaitForever = ~0u;
  unsigned retries = 0;  // --retries: start a device's flow again after an exchange failure
  bool station = false;  // --station: flash each matching device as it is plugged in
  std::optional<unsigned> count;  // --count: station: stop after N devices; emulate: N devices

  bool sim = false;         // --sim: the emulated device
  unsigned simDevices = 1;  // --sim-devices: how many emulated devices are on the virtual bus
  unsigned simLatencyMs = 0;
  std::optional<std::string> simVersion;
  // [N:]KIND@WHERE texts, checked when parsed; N names the one emulated device (1-based) that
  // has the fault, without it every device has it.
  std::vector<std::string> simFaults;
  Flow flow = Flow::Strict;
  // --stall-timeout: the echo flow ends (stalled) after this many seconds without a reply it
  // awaits; 0 waits for ever, as QuenlorHID does.
  unsigned stallSeconds = 10;
  bool verifyAfter = false;  // download --verify: read the device back after the update
  std::string record;        // --record: every report sent and received, as JSON lines
  std::string simReplay;     // --sim-replay: the emulated device answers as this record did

  // emulate: the emulated device (the --sim-... options above) as a HID device of the kernel.
  std::string memoryOut;  // --memory-out: the device's memory, written when it stops
  std::string readyFile;  // --ready-file: the hidraw node's path, once the kernel made it
  std::string uhidPath;   // --uhid: the uhid node; empty means /dev/uhid

  bool json = false;
  bool quiet = false;
  ColorMode color = ColorMode::Auto;
  bool verbose = false;
  bool showHelp = false;     // --help, alone or after a command
  bool showVersion = false;  // --version
};

// Parses argv[1..]. On a mistake returns the message to print (with a hint to --help).
[[nodiscard]] nuv::Result<Options> parseOptions(const std::vector<std::string>& args);

// The help text: the overview, or one command's page.
[[nodiscard]] std::string helpText(Command command);

[[nodiscard]] std::optional<Command> commandNamed(const std::string& name);

// A --sim-fault text split into the device it names (1-based; nothing: every device) and the
// fault itself, KIND@WHERE.
struct DeviceFault {
  std::optional<unsigned> deviceNumber;
  std::string fault;
};
[[nodiscard]] DeviceFault splitDeviceFault(const std::string& text);

// Whether the options take the device commands to several devices at once (in worker
// processes): --all, several --device or --station. --retries on one device retries in the
// same process.
[[nodiscard]] bool wantsFleet(const Options& options);

}  // namespace nuv::cli
