#pragma once
// rs485ctl doctor: runs the checks of ops/doctor.h and prints them, as text
// for people or as one JSON object for scripts.

#include <cstdio>

#include "ctl/arguments.h"
#include "ops/doctor.h"

void PrintDoctorReport(const DoctorReport& report, bool json, FILE* out = stdout);

// The exit code: 0 every check passed, 1 one warns, 3 the converter cannot be
// used; as for every command, 1 when the converter asked for by --serial or
// --location is not plugged in, and 3 when several are and none was chosen.
int CommandDoctor(const Options& options);
