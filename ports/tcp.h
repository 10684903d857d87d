#pragma once
// TCP transports of the port layer: a client ("TCPC_a.b.c.d:port") that keeps
// one connection and re-establishes it, and a server ("TCPS_port") with up to
// 16 peers. Every step is non-blocking; the timed reads of the port layer do
// the waiting. slot is an index into PortTable.

#include <cstdint>

// The address and port of a client name's text after "TCPC_": a dotted IPv4
// address of four decimal parts 0-255, ":" and a decimal port 1-65535, nothing
// else (no leading zeros, signs, blanks or trailing text). 0, or -1 when the
// text is anything else. The address comes in network byte order.
int TcpParseClientName(const char* text, uint32_t* address, uint16_t* port);

int TcpClientOpen(int slot, const char* name);  // 0, or -1 on failure
int TcpServerOpen(int slot, const char* name);  // 0, or -1 on failure
void TcpConnectStep(int slot);
void TcpAccept(int slot);
void TcpReceive(int slot);
void TcpSend(int slot, const uint8_t* data, uint32_t count);
void TcpClose(int slot);
