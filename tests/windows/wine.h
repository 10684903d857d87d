#pragma once
// Whether the test runs under Wine rather than on Windows: some cases can only
// be shown on the real system and are skipped here, with the reason.

#include <windows.h>

inline bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
