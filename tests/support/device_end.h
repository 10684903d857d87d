#pragma once
// The device's end of a serial line, for port-layer scenarios that run on
// Linux and on Windows alike: the port layer opens portName, the test plays
// the device here. Linux: a pseudo-terminal's master. Windows (under Wine): the
// far COM port of a null-modem pair that the suite's test bed links to ptys.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class DeviceEnd {
 public:
  DeviceEnd();  // fails the test when no line can be had
  ~DeviceEnd();
  DeviceEnd(const DeviceEnd&) = delete;
  DeviceEnd& operator=(const DeviceEnd&) = delete;

  const std::string& PortName() const;
  void Write(const std::vector<uint8_t>& bytes);  // all of it
  // What the port wrote, up to count bytes, waiting at most timeoutMs.
  std::vector<uint8_t> Read(size_t count, int timeoutMs);

  struct Line;

 private:
  std::unique_ptr<Line> line_;
};
