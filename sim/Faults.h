// Faults the emulated update device can be told to commit, each at a chosen moment.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/Result.h"

namespace nuv::sim {

enum class FaultKind {
  NoReply,        // the command is carried out, its reply never comes
  ReplyCodeZero,  // the reply's byte 0 is 0x00
  WrongCode,      // the reply's byte 0 is another code (the command's code ^ 0x80)
  WrongAddress,   // the reply's address bytes differ (byte 1 ^ 0x04)
  WrongData,      // the reply's data bytes differ (each byte 3..6 ^ 0xFF); memory is right
  ShortReport,    // the reply carries only its first 5 bytes
  Duplicate,      // the reply comes twice
  LateReply,      // the reply comes after `delay`
  WriteFailure,   // the host's write of the command fails; the device sees nothing
  Unplug,         // the device is unplugged after it received the command, before replying
};

// When a fault fires: at the n-th command the device receives (1-based, every code counted),
// at the first Write or Read of an address, or at the first command of a code.
struct Trigger {
  enum class Kind { AtCommand, AtAddress, AtCode } kind = Kind::AtCommand;
  std::uint32_t value = 1;
};

struct Fault {
  FaultKind kind = FaultKind::NoReply;
  Trigger when;
  std::chrono::milliseconds delay{0};  // LateReply only
  bool repeat = false;                 // fire at every match instead of once
};

// Parses "KIND[:PARAM]@WHERE[+]": KIND one of no-reply, code-zero, wrong-code,
// wrong-address, wrong-data, short-report, duplicate, late (PARAM: milliseconds),
// write-failure, unplug; WHERE is "#N" (n-th command), an address ("0x1000" or decimal) or a
// command name (link, format, burn, read, write, version); a trailing "+" repeats the fault.
// Returns the fault or a message saying what is wrong with the text.
[[nodiscard]] nuv::Result<Fault> parseFault(std::string_view text);

// The KIND name of a fault kind, as parseFault accepts it.
[[nodiscard]] std::string_view faultName(FaultKind kind);

}  // namespace nuv::sim
