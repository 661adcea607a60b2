// Hexadecimal text to number, as the platform's text scanner reads it: optional blanks, an
// optional "0x", then hexadecimal digits up to the first other character.
#pragma once

#include <cstdint>
#include <string_view>

namespace nuv::mac {

// False when no digit was found; *value is then 0. A number too large for 32 bits gives
// 0xFFFFFFFF and false.
[[nodiscard]] bool scanHexInt(std::string_view text, std::uint32_t* value);

}  // namespace nuv::mac
