// The update device's USB identity, written once: every program and the emulated devices find
// or present the device by these two numbers, and the texts that a system compares (Vornex's
// device key, QuenlorHID's matching texts) are made from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace nuv {

inline constexpr std::uint16_t kUpdateVendorId = 0xFFFF;
inline constexpr std::uint16_t kUpdateProductId = 0x0100;

// A fixed number of upper-case hexadecimal digits, usable where a text is wanted.
template <std::size_t Digits>
struct HexText {
  char digits[Digits + 1] = {};
  constexpr operator std::string_view() const { return {digits, Digits}; }
};

// `value` in `Digits` upper-case hexadecimal digits, leading zeros kept and higher digits
// dropped: hexText<4>(0x0100) is "0100".
template <std::size_t Digits>
[[nodiscard]] constexpr HexText<Digits> hexText(std::uint64_t value) {
  HexText<Digits> text;
  for (std::size_t i = Digits; i-- > 0; value >>= 4)
    text.digits[i] = "0123456789ABCDEF"[value & 0xF];
  return text;
}

static_assert(std::string_view(hexText<4>(0x0100)) == "0100");
static_assert(std::string_view(hexText<8>(0xFFFF0100)) == "FFFF0100");

}  // namespace nuv
