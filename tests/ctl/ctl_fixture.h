#pragma once
// What the rs485ctl tests share: reading its output, and the simulated
// converter reached the ways rs485ctl reaches a real one.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "ops/json.h"
#include "run_ctl.h"
#include "sim/sim_converter.h"

using Data = std::vector<uint8_t>;

inline Data BytesOf(const SimSettings& settings) { return Data(settings.begin(), settings.end()); }

// The run for a failure message.
std::string Describe(const CtlRun& run);

// rs485ctl's --json output: exactly one line that parses as one JSON object.
::testing::AssertionResult OneJsonObject(const std::string& out, Json& value);

// A line of rs485ctl's frame trace: its five tab-separated fields.
struct TraceLine {
  long ms = -1;
  std::string port, event, hex, meaning;
};
// The lines of a trace; a line without five fields or a stamp comes back with ms -1.
std::vector<TraceLine> ParseTrace(const std::string& text);
std::string ReadText(const std::string& path);

// The verdicts of doctor's --json report by the checks' names.
std::map<std::string, std::string> DoctorVerdicts(const Json& report);

// A file of count bytes with a pattern that differs from record to record.
Data MakeImage(size_t count);
void WriteFile(const std::string& path, const Data& bytes);
