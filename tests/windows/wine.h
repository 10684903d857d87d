#pragma once
// Whether the test runs under Wine rather than on Windows: some cases can only
// be shown on the real system and are skipped here, with the reason.

#include <windows.h>

#include <string>

inline bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Starts a program of the Linux file system (path as Z:...) on this process's
// console; false when it could not be started.
inline bool StartOnThisConsole(const std::string& commandLine, PROCESS_INFORMATION& process) {
  std::string command = "Z:" + commandLine;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  return CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
}

// Waits at most ms for the program to end and closes its handles; its exit
// code, or STILL_ACTIVE when it did not end.
inline DWORD ExitCodeOf(PROCESS_INFORMATION& process, DWORD ms) {
  DWORD code = STILL_ACTIVE;
  if (WaitForSingleObject(process.hProcess, ms) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}
