#pragma once
// rs485ctl's command line: every argument is checked before a port is touched.

#include <cstdint>
#include <string>

#include "ops/firmware_upload.h"

struct Options {
  std::string command;
  std::string port;  // empty: locate the converter
  // Which converter, when the search finds several; empty: any
  std::string serial;
  std::string location;
  bool all = false;  // read, write, flash: every converter found, in parallel
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
  std::string profile;  // write, watch: the settings to apply, as read --json prints them
  bool verify = true;   // write: read the record back and compare
  std::string image;    // watch: the firmware every new converter gets
  std::string plan;     // --all, watch, audit: each converter's own settings and image, by serial number
  bool dryRun = false;  // write: what would change, nothing written
  bool csv = false;     // audit: CSV for a spreadsheet
  // Started by another rs485ctl for one converter (hidden): prints JSON lines
  // with the update's progress, and ends a read or write in order on Ctrl+C.
  bool worker = false;
};

// The commands that serve one converter at a time, and so take --all.
bool CommandServesAll(const std::string& command);

enum ParseResult { ParseRun, ParseHelp, ParseBad };

// ParseBad after telling the problem on standard error.
ParseResult ParseArguments(int argc, char** argv, Options& options);
