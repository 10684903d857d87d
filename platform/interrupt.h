#pragma once
// The user's request to stop a program that must end in order: Ctrl+C,
// SIGTERM and SIGHUP, and on Windows also Ctrl+Break, the console window
// closing, the user logging off and the system shutting down.

// From now on the first request is only noted, for the program to end its work
// in order; a second one ends the process at once with exit code 130. A
// console that is closing is held open while the program ends (as long as the
// system allows).
void PlatformInterruptCatch();

// True once a request to stop has come.
bool PlatformInterrupted();
