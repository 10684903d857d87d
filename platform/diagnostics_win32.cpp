#include "platform/diagnostics.h"

#include <windows.h>

#include "platform/serial.h"
#include "platform/text_win32.h"

// Windows tells whether a COM device exists, not who may open it: a port has
// no per-user rights, and a program holding it shows only as a failed open.
// There is no udev and no ModemManager.
void DiagPort(const char* portName, const char*, DiagPortFacts& facts) {
  facts = DiagPortFacts{};
  if (!SerialDevicePath(portName, facts.path, sizeof facts.path)) return;
  // Opened without asking for access, a device that is there answers, or
  // refuses because it is in use; a name nothing answers to is not found.
  const HANDLE device = CreateFileW(WideFromUtf8(facts.path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD error = device == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
  facts.node = error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_INVALID_NAME &&
               error != ERROR_BAD_PATHNAME;
}

void DiagSystem(const char*, DiagSystemFacts& facts) { facts = DiagSystemFacts{}; }
