#include "support/device_end.h"

#include "support/pty.h"

struct DeviceEnd::Line {
  TestPty pty;
};

DeviceEnd::DeviceEnd() : line_(std::make_unique<Line>()) {}
DeviceEnd::~DeviceEnd() = default;
const std::string& DeviceEnd::PortName() const { return line_->pty.name; }
void DeviceEnd::Write(const std::vector<uint8_t>& bytes) { line_->pty.Write(bytes); }
std::vector<uint8_t> DeviceEnd::Read(size_t count, int timeoutMs) { return line_->pty.Read(count, timeoutMs); }
