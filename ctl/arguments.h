#pragma once
// rs485ctl's command line: every argument is checked before a port is touched.

#include <cstdint>
#include <string>
#include <vector>

#include "ops/firmware_upload.h"

struct Options {
  std::string command;
  std::string port;  // empty: locate the converter
  // Which converter, when the search finds several; empty: any
  std::string serial;
  std::string location;
  bool all = false;  // read, write, flash: every converter found, in parallel
  // read, write, flash: every port named in this file, in parallel, instead
  // of a converter found; ports holds its names once the file is read.
  std::string portsFile;
  std::vector<std::string> ports;
  // --all and --ports: at most this many converters served at once; 0: the
  // default (every converter found for --all, kPortsDefaultJobs for --ports).
  int32_t jobs = 0;
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
  std::string sha256;   // flash, watch --flash: the image's SHA-256 as lower-case hex; empty: not checked
  std::string journal;  // write, flash, watch, journal: the journal's file; empty: the default place
  std::string since;    // journal: only units from this time on (ISO 8601, UTC); empty: all
  std::string report;   // report: "csv", "html" or "verify"; audit: "csv"
  std::string plan;     // --all, watch, audit: each converter's own settings and image, by serial number
  bool dryRun = false;  // write: what would change, nothing written
  bool csv = false;     // audit: CSV for a spreadsheet
  // Started by another rs485ctl for one converter (hidden): prints JSON lines
  // with the update's progress, and ends a read or write in order on Ctrl+C.
  bool worker = false;
};

// --ports without --jobs: enough to hide the network's waits behind one
// another, few enough that a long list of sites does not start a process
// and a connection for every one of them at once.
constexpr int32_t kPortsDefaultJobs = 8;
constexpr int32_t kJobsMax = 256;

// The commands that serve one converter at a time, and so take --all.
bool CommandServesAll(const std::string& command);

enum ParseResult { ParseRun, ParseHelp, ParseBad };

// ParseBad after telling the problem on standard error.
ParseResult ParseArguments(int argc, char** argv, Options& options);
