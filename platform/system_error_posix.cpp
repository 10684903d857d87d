// On Linux the services report the system's errno values themselves; a
// service whose failure has a code of its own notes it.

#include "platform/system_error_posix.h"

#include <cstdio>
#include <cstring>

#include "platform/system_error.h"

namespace {

// One note, taken by the next account of its errno value: a later failure
// with the same value that nobody noted gets the C library's words.
thread_local SystemError gNoted{0, {}};
thread_local int gNotedError = 0;

}  // namespace

int SystemErrorNote(int code, const char* text, int error) {
  gNotedError = error;
  gNoted.code = code;
  std::snprintf(gNoted.text, sizeof gNoted.text, "%s", text);
  return error;
}

SystemError SystemErrorOf(int error) {
  if (error != 0 && error == gNotedError) {
    gNotedError = 0;
    return gNoted;
  }
  SystemError system{error, {}};
  std::snprintf(system.text, sizeof system.text, "%s", std::strerror(error));
  return system;
}
