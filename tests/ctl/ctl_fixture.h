#pragma once
// What the rs485ctl tests share: reading its output, and the simulated
// converter reached the ways rs485ctl reaches a real one.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "json_reader.h"
#include "run_ctl.h"
#include "sim/sim_converter.h"

using Data = std::vector<uint8_t>;

inline Data BytesOf(const SimSettings& settings) { return Data(settings.begin(), settings.end()); }

// The run for a failure message.
std::string Describe(const CtlRun& run);

// rs485ctl's --json output: exactly one line that parses as one JSON object.
::testing::AssertionResult OneJsonObject(const std::string& out, Json& value);

// A file of count bytes with a pattern that differs from record to record.
Data MakeImage(size_t count);
void WriteFile(const std::string& path, const Data& bytes);
