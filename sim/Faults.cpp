#include "sim/Faults.h"

#include <array>
#include <charconv>
#include <utility>

#include "protocol/UpdateImage.h"

namespace nuv::sim {
namespace {

constexpr std::array<std::pair<FaultKind, std::string_view>, 10> kNames{{
    {FaultKind::NoReply, "no-reply"},
    {FaultKind::ReplyCodeZero, "code-zero"},
    {FaultKind::WrongCode, "wrong-code"},
    {FaultKind::WrongAddress, "wrong-address"},
    {FaultKind::WrongData, "wrong-data"},
    {FaultKind::ShortReport, "short-report"},
    {FaultKind::Duplicate, "duplicate"},
    {FaultKind::LateReply, "late"},
    {FaultKind::WriteFailure, "write-failure"},
    {FaultKind::Unplug, "unplug"},
}};

constexpr std::array<std::pair<std::string_view, std::uint8_t>, 6> kCommands{{
    {"link", 0x10},
    {"format", 0x11},
    {"burn", 0x12},
    {"read", 0x14},
    {"write", 0x18},
    {"version", 0x1C},
}};

std::optional<std::uint32_t> parseNumber(std::string_view s) {
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    base = 16;
  }
  std::uint32_t value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
  if (ec != std::errc{} || end != s.data() + s.size() || s.empty()) return std::nullopt;
  return value;
}

}  // namespace

std::string_view faultName(FaultKind kind) {
  for (const auto& [k, name] : kNames)
    if (k == kind) return name;
  return "?";
}

nuv::Result<Fault> parseFault(std::string_view text) {
  Fault fault;
  const auto at = text.find('@');
  if (at == std::string_view::npos)
    return nuv::Error::message("fault '" + std::string(text) + "' needs @WHERE");
  std::string_view kind = text.substr(0, at);
  std::string_view where = text.substr(at + 1);
  if (!where.empty() && where.back() == '+') {
    fault.repeat = true;
    where.remove_suffix(1);
  }
  std::string_view param;
  if (const auto colon = kind.find(':'); colon != std::string_view::npos) {
    param = kind.substr(colon + 1);
    kind = kind.substr(0, colon);
  }
  bool known = false;
  for (const auto& [k, name] : kNames) {
    if (name == kind) {
      fault.kind = k;
      known = true;
    }
  }
  if (!known) return nuv::Error::message("unknown fault kind '" + std::string(kind) + "'");
  if (fault.kind == FaultKind::LateReply) {
    const auto ms = parseNumber(param);
    if (!ms)
      return nuv::Error::message("fault 'late' needs a delay in milliseconds, as late:4500@WHERE");
    fault.delay = std::chrono::milliseconds(*ms);
  } else if (!param.empty()) {
    return nuv::Error::message("fault '" + std::string(kind) + "' takes no parameter");
  }
  if (where.size() > 1 && where[0] == '#') {
    const auto n = parseNumber(where.substr(1));
    if (!n || *n == 0)
      return nuv::Error::message("command number must be 1 or more in '" + std::string(where) +
                                 "'");
    fault.when = {Trigger::Kind::AtCommand, *n};
    return fault;
  }
  for (const auto& [name, code] : kCommands) {
    if (name == where) {
      fault.when = {Trigger::Kind::AtCode, code};
      return fault;
    }
  }
  const auto address = parseNumber(where);
  if (!address || *address >= nuv::image::kAddressSpace)
    return nuv::Error::message(
        "WHERE must be #N, an address 0x0000..0xFFFF or a command name, not '" +
        std::string(where) + "'");
  fault.when = {Trigger::Kind::AtAddress, *address};
  return fault;
}

}  // namespace nuv::sim
