#pragma once
// While a program of the package runs it holds a named mutex, in the global
// namespace so that programs of other sessions count too: the installer and
// the uninstaller look for it and refuse to replace or remove a program in use
// (packaging/windows/rs485setup.nsi names the same mutex).

#include <windows.h>

inline constexpr wchar_t RunningMutexName[] = L"Global\\rs485setup-running";

// Held until the process ends, when the system closes it.
inline void RunningMarkHold() { CreateMutexW(nullptr, FALSE, RunningMutexName); }
