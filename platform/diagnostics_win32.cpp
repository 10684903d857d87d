#include "platform/diagnostics.h"

#include <windows.h>

#include <cstring>

#include "platform/serial.h"
#include "platform/text_win32.h"

// Windows tells whether a COM device exists, not who may open it: a port has
// no per-user rights, and a program holding it shows only as a failed open.
// There is no udev and no ModemManager.
void DiagPort(const char* portName, const char*, DiagPortFacts& facts) {
  facts = DiagPortFacts{};
  if (!SerialDevicePath(portName, facts.path, sizeof facts.path) || std::strncmp(portName, "\\\\", 2) == 0) return;
  wchar_t target[512];
  facts.node = QueryDosDeviceW(WideFromUtf8(portName).c_str(), target, sizeof target / sizeof target[0]) != 0;
}

void DiagSystem(const char*, DiagSystemFacts& facts) { facts = DiagSystemFacts{}; }
