#include "mac/HexScan.h"

namespace nuv::mac {

namespace {
int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

bool scanHexInt(std::string_view text, std::uint32_t* value) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n')) ++i;
  if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
      i + 2 < text.size() && digitValue(text[i + 2]) >= 0)
    i += 2;
  std::uint64_t result = 0;
  bool any = false;
  bool overflow = false;
  for (; i < text.size() && digitValue(text[i]) >= 0; ++i) {
    any = true;
    result = result * 16 + static_cast<std::uint64_t>(digitValue(text[i]));
    if (result > 0xFFFFFFFFull) overflow = true, result = 0xFFFFFFFFull;
  }
  *value = any ? static_cast<std::uint32_t>(result) : 0;
  return any && !overflow;
}

}  // namespace nuv::mac
