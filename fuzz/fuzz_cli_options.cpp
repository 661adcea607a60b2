// vornex-cli's command line: the input, split at NUL bytes, is argv[1..].
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/Options.h"
#include "fuzz/FuzzSupport.h"
#include "sim/Faults.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args;
  std::string current;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (!current.empty() || size == 0) args.push_back(current);
  if (size == 0) args.clear();

  const auto parsed = nuv::cli::parseOptions(args);
  if (!parsed) {
    // Every refusal points the user to the help.
    FUZZ_CHECK(parsed.error().text.find("--help") != std::string::npos);
    return 0;
  }
  const nuv::cli::Options& o = parsed.value();
  (void)nuv::cli::helpText(o.command);
  if (o.showHelp || o.showVersion || o.command == nuv::cli::Command::Help) return 0;
  // What a command is handed has been checked: the commands rely on it without looking again.
  FUZZ_CHECK(o.command != nuv::cli::Command::None);
  FUZZ_CHECK(o.filler <= 0xFF);
  FUZZ_CHECK(o.simLatencyMs <= 60000);
  FUZZ_CHECK(!o.simVersion || o.simVersion->size() <= 4);
  FUZZ_CHECK(!(o.verbose && o.quiet));
  // Only --sim emulates: what describes the emulated device comes with it (or is emulate's).
  if (!o.sim && o.command != nuv::cli::Command::Emulate)
    FUZZ_CHECK(o.simFaults.empty() && !o.simVersion && o.simLatencyMs == 0 && o.simReplay.empty() &&
               o.simDevices == 1);
  // --device selects among the emulated devices too (--sim-devices), so it goes with --sim; a
  // node path is taken only from a lone selector.
  FUZZ_CHECK(o.devicePath.empty() || o.deviceSelectors.size() == 1);
  for (const std::string& fault : o.simFaults) FUZZ_CHECK(nuv::sim::parseFault(fault).ok());
  const bool takesFile =
      o.command == nuv::cli::Command::Download || o.command == nuv::cli::Command::Verify ||
      o.command == nuv::cli::Command::Inspect || o.command == nuv::cli::Command::Pack ||
      o.command == nuv::cli::Command::Unpack;
  const bool takesOperand = takesFile || o.command == nuv::cli::Command::Completion;  // SHELL
  FUZZ_CHECK(o.operands.size() == (takesOperand ? 1u : 0u));
  if (o.command == nuv::cli::Command::Pack || o.command == nuv::cli::Command::Unpack)
    FUZZ_CHECK(!o.output.empty());
  return 0;
}
