#pragma once
// The port table: 32 slots, each a serial port, a TCP client, a TCP server, an
// RFC 2217 client or a stub, addressed by a 16-bit PortId (slot index + 1; 0
// means no port). The layer's state is process-wide and is used from one
// thread.

#include <cstdint>

#include "platform/serial.h"
#include "ports/rx_ring.h"

using PortId = uint16_t;

enum PortKind : uint8_t {
  KindSerial = 0,
  KindStub = 3,
  KindTcpServer = 4,
  KindTcpClient = 6,
  KindRfc2217 = 7,
};

constexpr int PortSlotCount = 32;
constexpr int PortNameSize = 100;     // names of 100 characters or more are refused

class PortTransport;

struct PortSlot {
  char name[PortNameSize];
  PortTransport* transport;  // what carries the bytes, owned while the slot is open
  RxRing rx;                 // its storage owned while the slot is open
  int32_t open;
  PortKind kind;
  uint32_t lossesHeard;  // the transport's lost connections when the far end was last heard
};

extern PortSlot PortTable[PortSlotCount];

// Results of PortOpen besides the operating system's own error codes (errno
// values, positive): a range of the layer's own, so that they never read as
// one of those. PortOpenResultName names any result.
constexpr int PortOpenOk = 0;
constexpr int PortOpenTcpFailed = -1;
constexpr int PortOpenNoFreeSlot = -101;
constexpr int PortOpenEmptyName = -103;
constexpr int PortOpenNotInitialised = -109;
const char* PortOpenResultName(int result);

// Why the last PortOpen (or PortWaitLink) failed, kept until the next open so
// that the user can be told the reason along with the fixed message. A port
// that opened may keep PortFailNoLineControl here: it carries bytes, but its
// line is what the far end was set to, which explains an exchange that fails.
enum PortFailureKind : uint8_t {
  PortFailNone,
  PortFailBusy,       // another program has the device; holder names it where known
  PortFailAccess,     // no permission on the device
  PortFailNoDevice,   // no such device
  PortFailBadName,    // a name the layer cannot take (too long, a TCP name that is not exact)
  PortFailNetwork,    // a TCP port that could not be set up (its port taken, no socket)
  PortFailNoLink,     // a TCP port whose connection did not stand in time
  PortFailNoSlot,     // all 32 slots are open
  PortFailOther,      // see systemError and systemText
  PortFailNoHost,         // a host name that could not be looked up (systemError says how)
  PortFailNoLineControl,  // linked, but the far end took no line settings
  PortFailLinkLost,       // the connection ended while the port waited for an answer
  PortFailHostLookup,     // a host name whose lookup failed or took too long (systemError says how)
};

struct PortFailure {
  PortFailureKind kind;
  int systemError;       // the system's code where one was given, else 0
  char systemText[256];  // the system's wording of it (UTF-8, in the user's language), or empty
  SerialHolder holder;   // PortFailBusy: the program seen holding the device
  char portName[PortNameSize];  // the port's name as given, cut to size
  int32_t waitedMs;             // PortFailNoLink: how long the link was waited for
  // PortFailNoLink, PortFailLinkLost: the far end closed the connection (else
  // systemError tells the error, if one is known).
  bool peerClosed;
};

const PortFailure& PortLastFailure();

struct PortLinkEnd;

// Records that the connection of port id did not stand in time (for
// PortWaitLink), and how its last attempt ended (nullptr: not known).
void PortNoteNoLink(PortId id, int32_t waitedMs, const PortLinkEnd* end);

// Records that the connection of port id ended while an answer was awaited.
void PortNoteLinkLost(PortId id, const PortLinkEnd& end);

// Records that a port's link stood without control of its line (for
// PortWaitLink).
void PortNoteNoLineControl();

// Frees every slot and appends the start banner to "port.out"; runs once.
void PortLayerInit();

// Opens a port by name into the lowest free slot. Returns 0 and the new PortId,
// or a non-zero code: the constants above, or the system's code of a failed
// serial opening (then id is set to 0). "STUB" is a stub, "TCPS_port" a TCP server,
// "TCPC_a.b.c.d:port" a TCP client, "rfc2217://host:port" an RFC 2217 client,
// anything else a serial device.
int PortOpen(PortId& id, const char* name);

// Closes the port and frees its slot; returns 1 in every case.
int PortClose(PortId id);

// The open slot of a PortId, or nullptr for 0, out of range or a free slot.
PortSlot* PortSlotOf(PortId id);

// A network port (TCP): its last bytes need a moment on their way before a
// close. False for no open port.
bool PortIsNetwork(PortId id);

// True for a name PortOpen takes as a network port (TCPC_, TCPS_,
// rfc2217://), whatever follows the prefix: such a name leads to the same far
// end whatever this computer's devices do.
bool PortNameIsNetwork(const char* name);

// For tests: closes every port and forgets that the layer was initialised,
// as at the start of the process. The log stream is closed too.
void PortLayerReset();
