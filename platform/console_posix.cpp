#include "platform/console.h"

#include <unistd.h>

void PlatformConsoleInit() {}

bool PlatformStderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }
