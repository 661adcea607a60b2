// The boundary of the C API: nothing thrown inside crosses it, and texts handed out are
// copied into the caller's fixed buffers (truncated, always ended with a zero byte).
#pragma once

#include <cstddef>
#include <exception>
#include <new>
#include <string_view>

#include "include/nuv/nuv.h"

namespace nuv::capi {

// Copies `text` into `out` (`capacity` bytes, at least 1), cutting it where it does not fit.
// The cut never splits a UTF-8 sequence.
void copyText(std::string_view text, char* out, std::size_t capacity);

template <std::size_t N>
void copyText(std::string_view text, char (&out)[N]) {
  copyText(text, out, N);
}

// Sets the error's message, when the caller asked for one.
void setError(nuv_error* error, std::string_view message);

// Runs `body` (which returns a nuv_status) and turns whatever it throws into NUV_E_INTERNAL
// with the reason in `error`.
template <class Body>
[[nodiscard]] nuv_status guarded(nuv_error* error, Body&& body) noexcept {
  try {
    setError(error, "");
    return body();
  } catch (const std::bad_alloc&) {
    setError(error, "out of memory");
  } catch (const std::exception& e) {
    setError(error, e.what());
  } catch (...) {
    setError(error, "an unexpected failure inside libnuv");
  }
  return NUV_E_INTERNAL;
}

}  // namespace nuv::capi
