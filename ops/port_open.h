#pragma once
// Opening the converter's port for an exchange, and telling the user why it
// could not be opened. Shared by the connection check, the firmware update and
// the command line.

#include <cstdint>
#include <string>

#include "ports/port_table.h"

// A TCP port just opened is given this long to connect (a client) or to be
// reached by the converter's side (a server) before the first exchange.
constexpr int32_t PortLinkWaitMs = 5000;

// Opens portName into portId; a TCP port must also get its link within
// PortLinkWaitMs, since nothing is carried before. On failure no port is open,
// portId is 0 and PortLastFailure() tells why.
bool OpenPortForExchange(const char* portName, PortId& portId);
