#pragma once
// A pseudo-terminal pair for tests: the port layer opens the slave by name, the
// test plays the device on the master.

#include <cstdint>
#include <string>
#include <vector>

struct TestPty {
  int master = -1;
  int slave = -1;      // kept open so the master never sees a hang-up between opens
  std::string name;    // the slave as a port name, e.g. "pts/7"

  TestPty();           // raw on both sides; fails the test on error
  ~TestPty();
  TestPty(const TestPty&) = delete;
  TestPty& operator=(const TestPty&) = delete;

  void Write(const std::vector<uint8_t>& bytes) const;  // all of it, from the device side
  // Reads what the port wrote, up to count bytes, waiting at most timeoutMs.
  std::vector<uint8_t> Read(size_t count, int timeoutMs) const;
  void CloseMaster();  // the device goes away
};
