// On Windows the services note the system's code behind the errno value they
// return; its wording comes from FormatMessageW in the user's language.

#include "platform/system_error_win32.h"

#include <cstdio>
#include <cstring>

#include "platform/system_error.h"

namespace {

struct Noted {
  int error;
  DWORD code;
};
thread_local Noted gNoted{0, 0};

}  // namespace

int SystemErrorNote(DWORD code, int error) {
  gNoted = {error, code};
  return error;
}

SystemError SystemErrorOf(int error) {
  SystemError system{error, {}};
  if (error == 0 || gNoted.error != error) {
    // Not one the system gave (the service's own check): the C library's words.
    std::snprintf(system.text, sizeof system.text, "%s", std::strerror(error));
    return system;
  }
  system.code = static_cast<int>(gNoted.code);
  wchar_t wide[512];
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                      gNoted.code, 0, wide, sizeof wide / sizeof wide[0], nullptr);
  char utf8[sizeof wide / sizeof wide[0] * 3];
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), utf8, sizeof utf8, nullptr, nullptr);
  // The system's texts end with a period and a line break; a long one is cut
  // between two characters.
  size_t n = size > 0 ? static_cast<size_t>(size) : 0;
  while (n > 0 && std::strchr(" .\r\n", utf8[n - 1]) != nullptr) --n;
  if (n >= sizeof system.text) {
    n = sizeof system.text - 1;
    while (n > 0 && (static_cast<unsigned char>(utf8[n]) & 0xC0) == 0x80) --n;
  }
  std::memcpy(system.text, utf8, n);
  system.text[n] = '\0';
  return system;
}
