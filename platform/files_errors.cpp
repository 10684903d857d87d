// The files service reports errno values on every system, so their wording
// is shared.

#include <cstring>

#include "platform/files.h"

std::string FileErrorText(int error) { return std::strerror(error); }
