#include "ports/serial_transport.h"

#include <cerrno>
#include <new>

#include "ports/ms_clock.h"
#include "ports/rx_ring.h"

namespace {

constexpr uint32_t kPumpChunk = 512;

constexpr SerialTimeouts kOpenTimeouts = {2, 2, 2, 20, 20};
constexpr uint32_t kWriteMultiplierMs = 20;
constexpr uint32_t kWriteConstantMs = 20;

}  // namespace

int SerialTransport::Open(const char* name, SerialTransport** transport, SerialHolder* holder) {
  int32_t handle = -1;
  int error = SerialOpen(name, &handle, holder);
  if (error != 0) return error;
  error = SerialSetTimeouts(handle, kOpenTimeouts);
  if (error == 0) error = SerialSetLine(handle, ConverterLine);
  if (error == 0) {
    *transport = new (std::nothrow) SerialTransport(handle);
    if (*transport == nullptr) error = ENOMEM;
  }
  if (error != 0) SerialClose(handle);
  return error;
}

SerialTransport::~SerialTransport() { SerialClose(handle_); }

// Reads what the serial service reports as queued into the ring of keepIn, or
// discards it when keepIn is nullptr.
void SerialTransport::Drain(RxRing* keepIn) {
  uint32_t queued = 0;
  if (SerialQueued(handle_, &queued) != 0) return;
  uint8_t chunk[kPumpChunk];
  while (queued > 0) {
    uint32_t got = 0;
    SerialReadQueued(handle_, chunk, queued < kPumpChunk ? queued : kPumpChunk, &got);
    if (got == 0) break;
    if (keepIn != nullptr) RxRingAppend(*keepIn, chunk, got);
    queued -= got;
  }
}

void SerialTransport::Pump(RxRing& ring) { Drain(&ring); }

void SerialTransport::DiscardInput(RxRing&) {
  // What arrives while the queue is read goes too, until the line is quiet.
  const uint32_t deadline = MsClockDeadline32(PortFlushMostMs);
  uint32_t queued = 0;
  do {
    Drain(nullptr);
  } while (SerialQueued(handle_, &queued) == 0 && queued > 0 && TickReached32(deadline) == 0);
}

int32_t SerialTransport::ReadRest(RxRing& ring, uint8_t* out, int32_t count, int32_t timeoutMs) {
  // The read's own time-out replaces those of the opening, and stays.
  const SerialTimeouts timeouts = {0, 0, static_cast<uint32_t>(timeoutMs), kWriteMultiplierMs, kWriteConstantMs};
  if (SerialSetTimeouts(handle_, timeouts) != 0) return 0;
  uint32_t got = 0;
  SerialRead(handle_, out, static_cast<uint32_t>(count), &got);
  if (got == static_cast<uint32_t>(count)) return 1;
  RxRingAppend(ring, out, got);  // the next read finds what did arrive
  return 0;
}

void SerialTransport::Write(const uint8_t* data, uint32_t count) {
  uint32_t written = 0;
  SerialWrite(handle_, data, count, &written);
}
