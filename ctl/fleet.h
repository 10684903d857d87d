#pragma once
// rs485ctl serving several converters at once: --all (read, write or flash
// on every converter found), --ports (the same on every port a file names)
// and watch (every converter plugged in, once until
// it is unplugged). The fleet engine (fleet/) starts a worker per converter
// and tells what they did; this prints it: a text line or a JSON line per
// unit as it ends, the updates' progress, and the summary. A Ctrl+C at the
// terminal reaches each worker too, and each ends its work in order (an
// update tells its converter to leave the update mode).

#include "ctl/arguments.h"

// --all and --ports: the worst of the workers' exit codes.
int CommandAll(const Options& options);

// watch: runs until Ctrl+C, then waits for the units in progress; 130.
int CommandWatch(const Options& options);
