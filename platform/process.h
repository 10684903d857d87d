#pragma once
// Process service: a program started as a worker, its standard output read
// here through a pipe without waiting, its standard input and error this
// process's own. It shares this process's terminal or console, so a Ctrl+C
// typed there reaches it as it reaches this one (on Linux the same process
// group, on Windows the same console); nothing here ends it.

#include <cstdint>
#include <string>
#include <vector>

struct PlatformChild {
  intptr_t process = -1;  // the system's id or handle of it; -1 once it has been reaped
  intptr_t output = -1;   // the read end of its standard output; -1 once that has ended
};

// This program's own path, to start it again; empty when it cannot be told.
std::string PlatformSelfPath();

// Starts program with arguments (arguments[0] is the name it is given).
// False when it could not be started.
bool PlatformChildStart(const std::string& program, const std::vector<std::string>& arguments, PlatformChild& child);

// Appends to text what the child has written and this process not yet read,
// without waiting: 1 when something came, 0 when nothing has come yet, -1
// once its output has ended (it closed it, or it ended).
int PlatformChildRead(PlatformChild& child, std::string& text);

// True once the child has ended, with its exit code (128 + the signal's
// number when a signal ended it); its process is reaped then. False while
// it runs.
bool PlatformChildEnded(PlatformChild& child, int& exitCode);
