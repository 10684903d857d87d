// On Linux the services report the system's errno values themselves.

#include <cstdio>
#include <cstring>

#include "platform/system_error.h"

SystemError SystemErrorOf(int error) {
  SystemError system{error, {}};
  std::snprintf(system.text, sizeof system.text, "%s", std::strerror(error));
  return system;
}
