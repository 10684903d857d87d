#pragma once
// rs485ctl serving several converters at once: --all (read, write or flash
// on every converter found) and watch (every converter plugged in, once until
// it is unplugged). Each converter gets a worker of its own: this program
// started again for that one converter (--worker with its serial number and
// place), in its own process, since the port layer, the clock and the search
// are each one per process. Their JSON lines are gathered here. Nothing here
// ends a worker: a Ctrl+C at the terminal reaches each of them, and each ends
// its work in order (an update tells its converter to leave the update mode).

#include "ctl/arguments.h"

// --all: the worst of the workers' exit codes.
int CommandAll(const Options& options);

// watch: runs until Ctrl+C, then waits for the units in progress; 130.
int CommandWatch(const Options& options);
