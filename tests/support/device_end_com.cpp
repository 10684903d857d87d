#include <gtest/gtest.h>

#include "platform/serial.h"
#include "support/device_end.h"

namespace {

// The test bed (tests/windows/wine_bed.sh) links these two to the ends of a
// socat pair of pseudo-terminals.
const char kPortSide[] = "COM21";
const char kDeviceSide[] = "COM22";

}  // namespace

struct DeviceEnd::Line {
  std::string portName = kPortSide;
  int32_t handle = -1;
};

DeviceEnd::DeviceEnd() : line_(std::make_unique<Line>()) {
  const int error = SerialOpen(kDeviceSide, &line_->handle, nullptr);
  if (error != 0) {
    ADD_FAILURE() << "cannot open " << kDeviceSide << " (" << error << "): is the test bed up?";
    return;
  }
  EXPECT_EQ(SerialSetLine(line_->handle, SerialLine{4800, 8, 'N', 1, false}), 0);
  // Whatever an earlier scenario left on the line is no part of this one.
  uint8_t stale[256];
  uint32_t got = 0;
  do SerialReadQueued(line_->handle, stale, sizeof stale, &got);
  while (got > 0);
}

DeviceEnd::~DeviceEnd() {
  if (line_->handle != -1) SerialClose(line_->handle);
}

const std::string& DeviceEnd::PortName() const { return line_->portName; }

void DeviceEnd::Write(const std::vector<uint8_t>& bytes) {
  const SerialTimeouts timeouts = {0, 0, 0, 0, 5000};
  ASSERT_EQ(SerialSetTimeouts(line_->handle, timeouts), 0);
  uint32_t written = 0;
  ASSERT_EQ(SerialWrite(line_->handle, bytes.data(), static_cast<uint32_t>(bytes.size()), &written), 0);
  ASSERT_EQ(written, bytes.size());
}

std::vector<uint8_t> DeviceEnd::Read(size_t count, int timeoutMs) {
  const SerialTimeouts timeouts = {0, 0, static_cast<uint32_t>(timeoutMs), 0, 5000};
  std::vector<uint8_t> in(count);
  uint32_t got = 0;
  EXPECT_EQ(SerialSetTimeouts(line_->handle, timeouts), 0);
  EXPECT_EQ(SerialRead(line_->handle, in.data(), static_cast<uint32_t>(count), &got), 0);
  in.resize(got);
  return in;
}
