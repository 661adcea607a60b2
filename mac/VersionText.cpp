#include "mac/VersionText.h"

namespace nuv::mac {

namespace {

constexpr const char* kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 sequence at bytes[0..n), or 0.
std::size_t sequenceLength(const std::uint8_t* bytes, std::size_t n) {
  const std::uint8_t b = bytes[0];
  std::size_t length = 0;
  std::uint8_t low = 0x80, high = 0xBF;  // bounds of the second byte
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) {
    length = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3;
    if (b == 0xE0) low = 0xA0;
    if (b == 0xED) high = 0x9F;  // no surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (length > n) return 0;
  if (bytes[1] < low || bytes[1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (bytes[i] < 0x80 || bytes[i] > 0xBF) return 0;
  return length;
}

}  // namespace

std::string versionText(const std::uint8_t data[4]) {
  std::size_t n = 0;
  while (n < 4 && data[n] != 0) ++n;
  std::string out;
  for (std::size_t i = 0; i < n;) {
    const std::size_t length = sequenceLength(data + i, n - i);
    if (length == 0) {
      out += kReplacement;
      ++i;
    } else {
      out.append(reinterpret_cast<const char*>(data + i), length);
      i += length;
    }
  }
  return out;
}

}  // namespace nuv::mac
