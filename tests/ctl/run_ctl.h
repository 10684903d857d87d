#pragma once
// rs485ctl as a child process: what it printed on each stream, and how it ended.

#include <string>
#include <vector>

#include "support/spawned.h"

using CtlRun = ProgramRun;

struct CtlRunOptions {
  int timeoutMs = 30000;
  bool stderrTerminal = false;  // standard error on a pseudo-terminal instead of a pipe
};

// Runs rs485ctl with arguments and waits for it; killed when it outlives the
// deadline.
CtlRun RunCtl(const std::vector<std::string>& arguments, const CtlRunOptions& options = {});

// The rs485ctl under test.
const char* CtlPath();

// Runs any program the same way; argv[0] is its path.
CtlRun RunProgram(const std::vector<std::string>& argv, const CtlRunOptions& options = {});

// "rs485ctl a b c", for failure messages.
std::string CtlCommandLine(const std::vector<std::string>& arguments);
