#pragma once
// Process service: a program started as a worker, its standard output read
// here through a pipe without waiting, its standard error this process's own,
// its standard input a pipe that only this process holds open: closing it is
// the worker's stop channel (PlatformInterruptOnInputEnd), and it closes too
// when this process ends in any way. It shares this process's terminal or
// console, so a Ctrl+C typed there reaches it as it reaches this one (on Linux
// the same process group, on Windows the same console; a process without a
// console, as a window on Windows, starts it without one, so that no console
// window opens for it).

#include <cstdint>
#include <string>
#include <vector>

struct PlatformChild {
  intptr_t process = -1;  // the system's id or handle of it; -1 once it has been reaped
  intptr_t output = -1;   // the read end of its standard output; -1 once that has ended
  intptr_t input = -1;    // the write end of its standard input; -1 once closed
};

// This program's own path, to start it again; empty when it cannot be told.
std::string PlatformSelfPath();

// The path of the program name in this program's own folder (with ".exe" on
// Windows), as the windows find rs485ctl beside them; empty when this
// program's path cannot be told.
std::string PlatformProgramBeside(const std::string& name);

// Starts program with arguments (arguments[0] is the name it is given).
// 0 when started; otherwise the system's code in errno terms (SystemErrorOf
// tells the system's own code and words).
int PlatformChildStart(const std::string& program, const std::vector<std::string>& arguments, PlatformChild& child);

// Appends to text what the child has written and this process not yet read,
// without waiting: 1 when something came, 0 when nothing has come yet, -1
// once its output has ended (it closed it, or it ended).
int PlatformChildRead(PlatformChild& child, std::string& text);

// True once the child has ended, with its exit code (128 + the signal's
// number when a signal ended it); its process is reaped then. False while
// it runs.
bool PlatformChildEnded(PlatformChild& child, int& exitCode);

// Passes a request to stop on: closes the child's standard input. Once is
// enough; again it does nothing.
void PlatformChildStop(PlatformChild& child);

// Ends the child at once (SIGKILL, TerminateProcess); PlatformChildEnded
// then reaps it.
void PlatformChildKill(PlatformChild& child);
