#pragma once
// The user's request to stop a program that must end in order: Ctrl+C,
// SIGTERM and SIGHUP, and on Windows also Ctrl+Break, the console window
// closing, the user logging off and the system shutting down.

// From now on the first request is only noted, for the program to end its work
// in order; a second one ends the process at once with exit code 130. A
// console that is closing is held open while the program ends (as long as the
// system allows).
void PlatformInterruptCatch();

// The same, but a second request is only counted as well, for a program that
// has still something to do before it ends (tell its converters to leave the
// update mode); a third ends the process at once with exit code 130.
void PlatformInterruptCount();

// From now on the end of this process's standard input is a request to stop
// too, counted once however often it is seen: a worker's parent closes it to
// pass on a request that reached the parent alone (PlatformChildStop). Only a
// pipe counts; a terminal or a file never ends this way.
void PlatformInterruptOnInputEnd();

// True once a request to stop has come.
bool PlatformInterrupted();

// The requests to stop so far.
int PlatformInterruptRequests();
