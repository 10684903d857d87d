#pragma once
// What carries an open port's bytes: a serial device, a TCP client, a TCP
// server or a stub. The port table keeps one per open slot and the input and
// output operations dispatch to it; nothing else looks at the kind of a port.
// Closing a port destroys its transport.

#include <cstdint>

#include "platform/system_error.h"

struct RxRing;

// How a network port's connection, or an attempt at one, ended: the far end
// closed it, or the system reported an error (its account kept at once).
struct PortLinkEnd {
  bool ended;          // false while none has ended
  bool closed;         // closed by the far end; system is empty then
  SystemError system;
};

// A network port's connections: how the last attempt or connection ended, and
// how many connections that stood have ended since the port opened, with how
// the last of them did.
struct PortLinkHistory {
  PortLinkEnd lastEnd;
  PortLinkEnd lastLoss;
  uint32_t losses;
};

// A flush discards everything that has arrived, but a peer that never stops
// sending cannot keep it going for longer than this.
constexpr uint32_t PortFlushMostMs = 200;

class PortTransport {
 public:
  virtual ~PortTransport() = default;

  // Advances a connection, or takes a waiting peer; every operation on the
  // port runs it first.
  virtual void Service() {}

  // Moves what has arrived into the port's receive ring.
  virtual void Pump(RxRing& ring) = 0;

  // Reads count bytes that the ring did not hold into out, waiting at most
  // timeoutMs. Non-zero when all came (what PortRead returns then), 0 when not;
  // bytes that came but were too few stay in the ring where the transport
  // keeps them.
  virtual int32_t ReadRest(RxRing& ring, uint8_t* out, int32_t count, int32_t timeoutMs) = 0;

  // Discards input that waits beyond the ring (the system's queue, a socket's),
  // all of it, within PortFlushMostMs.
  virtual void DiscardInput(RxRing& ring) = 0;

  // Sends; failures are not reported (a missing reply shows them).
  virtual void Write(const uint8_t* data, uint32_t count) = 0;

  // A network port carries nothing until its connection stands (a client) or
  // a peer has come (a server); the others are linked from the start.
  virtual bool IsNetwork() const { return false; }
  virtual bool Linked() const { return true; }

  // False for a port whose far end carries bytes but took no line settings
  // (a Telnet server without the COM port option): its line is whatever the
  // server was set to.
  virtual bool LineSet() const { return true; }

  // A network port's record of its connections; nullptr for the others.
  virtual const PortLinkHistory* LinkHistory() const { return nullptr; }

  // False for a port that can never deliver input (the stub).
  virtual bool Delivers() const { return true; }

  // The system's handle behind the port (descriptor, socket), -1 when none.
  virtual int32_t Handle() const { return -1; }
};
