#include "capi/Edge.h"

#include <cstring>

namespace nuv::capi {

void copyText(std::string_view text, char* out, std::size_t capacity) {
  if (out == nullptr || capacity == 0) return;
  std::size_t n = std::min(text.size(), capacity - 1);
  // Back off to the start of a UTF-8 sequence when the cut falls inside one.
  if (n < text.size())
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

void setError(nuv_error* error, std::string_view message) {
  if (error != nullptr) copyText(message, error->message);
}

}  // namespace nuv::capi
