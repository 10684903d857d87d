#pragma once
// rs485ctl's command line: every argument is checked before a port is touched.

#include <cstdint>
#include <string>

#include "ops/firmware_upload.h"

struct Options {
  std::string command;
  std::string port;  // empty: locate the converter
  bool json = false;
  std::string trace;  // the frame trace's file, "-" for standard error; empty: none
  std::string file;  // flash
  int32_t settleMs = FirmwareSettleMs;
  bool settleGiven = false;
  // write: what was given; empty text, -1 or 0 when not
  std::string baud;
  int parityRow = -1;
  int dataBitsRow = -1;
  int stopBits = 0;
  int echo = -1;
};

enum ParseResult { ParseRun, ParseHelp, ParseBad };

// ParseBad after telling the problem on standard error.
ParseResult ParseArguments(int argc, char** argv, Options& options);
