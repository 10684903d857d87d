#pragma once
// A serial device as a port's transport, on the system's serial service: the
// computer's side of the converter's line (4800 baud, 8N1, raw), reads bounded
// by the service's time-outs.

#include "platform/serial.h"
#include "ports/port_transport.h"

// The computer's side of the converter's line; the converter's own RS-485
// settings are a different record, reached through the protocol.
constexpr SerialLine ConverterLine = {4800, 8, 'N', 1, true};

class SerialTransport final : public PortTransport {
 public:
  // Opens the device of a port name exclusively and sets its line; 0 and the
  // transport, or the service's error code (holder names who keeps it busy).
  static int Open(const char* name, SerialTransport** transport, SerialHolder* holder);
  ~SerialTransport() override;

  void Pump(RxRing& ring) override;
  int32_t ReadRest(RxRing& ring, uint8_t* out, int32_t count, int32_t timeoutMs) override;
  void DiscardInput(RxRing& ring) override;
  void Write(const uint8_t* data, uint32_t count) override;
  int32_t Handle() const override { return handle_; }

 private:
  explicit SerialTransport(int32_t handle) : handle_(handle) {}
  void Drain(RxRing* keepIn);
  int32_t handle_;
};
