#include "platform/console.h"

#include <windows.h>

#include <cstdio>
#include <io.h>

void PlatformConsoleInit() {
  // The messages are UTF-8; without this a console shows them in its OEM
  // code page (866 on a Russian system) as garbage.
  SetConsoleOutputCP(CP_UTF8);
}

bool PlatformStderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }
