// vornex-cli's commands and options, written once: the parser accepts exactly these options,
// and the overview's command list, the manual page and the shell completions are made from
// this table. The prose of each command lives in its help page (Help.cpp).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "cli/Options.h"

namespace nuv::cli {

// What a value (of an option, or a command's operand) completes to in a shell.
enum class Completes { Nothing, File, Choice, HidrawNode, CommandName };

// The commands an option applies to, one bit per Command.
using CommandSet = unsigned;
[[nodiscard]] constexpr CommandSet commandBit(Command c) {
  return 1u << static_cast<unsigned>(c);
}
inline constexpr CommandSet kAllCommands = ~0u;

struct CommandSpec {
  Command command;
  const char* name;
  const char* operands;        // the placeholder shown after the name, "" for none
  std::size_t operandCount;    // how many operands it needs (help: at most one)
  Completes operandCompletes;  // what its operand completes to
  const char* operandChoices;  // Completes::Choice: the words, separated by spaces
  const char* summary;         // one line
};

// Says which case of parseOptions handles an option.
// clang-format off
enum class OptionId {
  Help, Version, Json, Quiet, Verbose, Force, Verify, Sim, Device, Output, Filler, Flow,
  SimLatency, SimVersion, SimFault, Record, SimReplay, MemoryOut, ReadyFile, Uhid, All, Wait,
  Retries, Station, Count, SimDevices, Color, StallTimeout
};
// clang-format on

struct OptionSpec {
  OptionId id;
  const char* longName;  // "--device"
  char shortName;        // 'o', or 0 when it has none
  const char* value;     // the value's placeholder, or nullptr for a flag
  Completes completes;   // what the value completes to
  const char* choices;   // Completes::Choice: the words, separated by spaces
  CommandSet appliesTo;  // kAllCommands, or commandBit()s
  const char* summary;   // one line
  // The value may be left out, and is then given only as --name=VALUE (--wait[=SECONDS]).
  bool valueOptional = false;
};

struct ExitStatusSpec {
  int code;
  const char* meaning;
};

[[nodiscard]] std::span<const CommandSpec> commandTable();
[[nodiscard]] std::span<const OptionSpec> optionTable();
[[nodiscard]] std::span<const ExitStatusSpec> exitStatusTable();

[[nodiscard]] const CommandSpec* commandSpec(Command command);
// The option that `arg` names: "--flow", "--flow=echo" or "-o" (short options take their
// value from the next argument only).
[[nodiscard]] const OptionSpec* optionNamed(const std::string& arg);
[[nodiscard]] constexpr bool appliesTo(const OptionSpec& option, Command command) {
  return (option.appliesTo & commandBit(command)) != 0;
}
// The commands an option belongs to, as a sentence: "download", "version, download and verify".
[[nodiscard]] std::string commandsOf(const OptionSpec& option);

// The shells that `vornex-cli completion SHELL` writes scripts for.
enum class Shell { Bash, Zsh, Fish };
inline constexpr const char* kShellNames = "bash zsh fish";
[[nodiscard]] std::optional<Shell> shellNamed(const std::string& name);

}  // namespace nuv::cli
