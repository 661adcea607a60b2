#include "win/app/SysError.h"

#include <cstdio>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {
// Trims what FormatMessage puts at the end: blanks, control characters and full stops.
std::string trimmed(std::string text) {
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}
}  // namespace

std::string SysErrorMessage(std::uint32_t code) {
#if defined(_WIN32)
  char* buffer = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  std::string text = n > 0 && buffer != nullptr ? std::string(buffer, n) : std::string();
  if (buffer != nullptr) LocalFree(buffer);
  return trimmed(std::move(text));
#else
  // Away from Windows the HID layer still reports Windows codes; these are the texts Windows
  // has for the ones it produces.
  struct Known {
    std::uint32_t code;
    const char* text;
  };
  static constexpr Known kKnown[] = {
      {2, "The system cannot find the file specified."},
      {5, "Access is denied."},
      {6, "The handle is invalid."},
      {8, "Not enough storage is available to process this command."},
      {31, "A device attached to the system is not functioning."},
      {87, "The parameter is incorrect."},
      {995,
       "The I/O operation has been aborted because of either a thread exit or an "
       "application request."},
      {996, "Overlapped I/O event is not in a signaled state."},
      {1167, "The device is not connected."},
      {1784, "The supplied user buffer is not valid for the requested operation."},
      {1816, "Not enough quota is available to process this command."},
  };
  for (const Known& k : kKnown) {
    if (k.code == code) return trimmed(k.text);
  }
  char text[48];
  std::snprintf(text, sizeof text, "System error %u", static_cast<unsigned>(code));
  return text;
#endif
}
