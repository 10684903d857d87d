#pragma once
// rs485sim --umockdev: the simulated converter as the USB device 16C0:4E04 with
// its CDC-ACM port ttyACM0 in a umockdev testbed, and a program started inside
// that testbed, which finds and opens the converter as it would the real one.

#include "sim/sim_converter.h"

// Returns 0 when umockdev's preload library is active in this process.
// Otherwise starts this program again under umockdev-wrapper with the same
// arguments (argv as main got it) and returns only when that failed, with the
// exit status to end with, after saying why on standard error.
int SimUmockdevEnsureWrapper(char** argv);

// Builds the testbed, serves converter on its /dev/ttyACM0 (with count above
// 1: that many converters behind a hub on port 1, each with its own memory,
// its serial number SIM0001, SIM0002, … and its place 1-1.1, 1-1.2, …, the
// others taking converter's faults, log and line rate), starts program
// (a null-terminated argument list; looked up on PATH) inside it and waits for
// its end. When stopFd becomes readable the program is asked to end (SIGTERM)
// and killed if it is still there 5 s later. Then the testbed is removed and
// the converter's files are saved. Returns the program's exit status (128 +
// the signal number when a signal ended it, 127 when it could not be started),
// or 1 when the testbed could not be built or the files not saved after a
// successful run. verbose: say where the converter is, on standard error.
int SimUmockdevRun(SimConverter& converter, int count, char** program, int stopFd, bool verbose);
