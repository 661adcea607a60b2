// An error captured where it happened: the failing call and its system code, or a message of
// the program's own. Built only on failure paths, never per report.
#pragma once

#include <string>

namespace nuv {

struct Error {
  std::string call;  // the system call or operation that failed ("open", "read", ...); may be empty
  int code = 0;      // errno / GetLastError() value, 0 for errors of the program's own
  std::string text;  // what went wrong, in words

  // "call: text" or just "text".
  [[nodiscard]] std::string describe() const { return call.empty() ? text : call + ": " + text; }

  // Captures errno-style code `code` for `call`, with the system's text for it.
  [[nodiscard]] static Error fromErrno(std::string call, int code);
  [[nodiscard]] static Error message(std::string text) { return Error{{}, 0, std::move(text)}; }
};

}  // namespace nuv
