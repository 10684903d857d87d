#pragma once
// Input and output of an open port. Received bytes are gathered by the pump
// into the slot's receive ring; the reads serve callers from the ring first.
// A PortId of 0, out of range, of a free slot, or of a stub port delivers
// nothing: the counts and reads give 0, PortReadByte gives -1, and the flush
// and the write do nothing.

#include <cstdint>

#include "ports/port_table.h"

// Bytes that can be read now (0 to 9999), after servicing and pumping.
int32_t PortAvailable(PortId id);

// Takes exactly count bytes and returns 1 when that many are available,
// otherwise takes nothing and returns 0.
int PortReadExact(PortId id, uint8_t* buffer, int32_t count);

// Reads count bytes, waiting at most timeoutMs for what the ring does not hold.
// Non-zero when all were delivered (count when the ring alone held them; for a
// serial port 1; for a TCP port the number that was still missing), 0 when not.
// On 0 the bytes already taken from the ring are consumed, and a serial port
// keeps what did arrive in the ring for the next read.
int32_t PortRead(PortId id, uint8_t* buffer, int32_t count, int32_t timeoutMs);

// Waits for one byte: 1 when delivered, 0 on time-out, -1 when nothing can ever
// arrive (no open port, or a stub).
int PortReadByte(PortId id, uint8_t* buffer, uint16_t timeoutMs);

// Discards every received byte waiting in the ring and, for a serial port, in the
// operating system's input queue.
void PortFlushInput(PortId id);

// Sends count bytes; failures are not reported (a missing reply shows them).
void PortWrite(PortId id, const uint8_t* data, uint32_t count);

// A TCP port carries nothing until its connection stands: a client connects
// at its first use and drops what is written before, and a server's writes go
// nowhere until a peer has come. Services the port until a client is connected
// or a server has a peer, at most timeoutMs. 1 when the port can carry an
// exchange (serial and stub ports at once), 0 when not (or no open port);
// then PortLastFailure says PortFailNoLink.
int PortWaitLink(PortId id, int32_t timeoutMs);

// Moves what the transport has received into the ring of slot index.
void PortPump(int index);
