#pragma once
// TCP transports of the port layer: a client ("TCPC_a.b.c.d:port") that keeps
// one connection and re-establishes it, and a server ("TCPS_port") with up to
// 16 peers. Every step is non-blocking; the timed reads of the port layer do
// the waiting. slot is an index into PortTable.

#include <cstdint>

int TcpClientOpen(int slot, const char* name);  // 0, or -1 on failure
int TcpServerOpen(int slot, const char* name);  // 0, or -1 on failure
void TcpConnectStep(int slot);
void TcpAccept(int slot);
void TcpReceive(int slot);
void TcpSend(int slot, const uint8_t* data, uint32_t count);
void TcpClose(int slot);
