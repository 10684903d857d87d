#pragma once
// For the Windows services: they report failures in errno terms and note the
// system's own code behind each, for SystemErrorOf.

#include <windows.h>

// Notes code as the system's account of error; returns error.
int SystemErrorNote(DWORD code, int error);
