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

// The simulated converter on the client side of TCP: it connects to
// 127.0.0.1:port, retrying every 10 ms until a listener is there, serves the
// converter on the connection, and connects again whenever the connection ends,
// until stopped.
class SimConnector {
 public:
  SimConnector(SimConverter& converter, uint16_t port);
  ~SimConnector();
  SimConnector(const SimConnector&) = delete;
  SimConnector& operator=(const SimConnector&) = delete;

  void Stop();  // ends the connection and joins the thread; later calls do nothing
  int Connections() const { return connections_; }

 private:
  void Run(SimConverter& converter, uint16_t port);

  int wake_[2] = {-1, -1};
  std::atomic<int> connections_{0};
  std::thread thread_;
};
