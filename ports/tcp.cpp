#include "ports/tcp.h"

// The TCP transports are recognised by name but not carried yet: opening one
// fails and leaves the slot free.

int TcpClientOpen(int, const char*) { return -1; }
int TcpServerOpen(int, const char*) { return -1; }
void TcpConnectStep(int) {}
void TcpAccept(int) {}
void TcpReceive(int) {}
void TcpSend(int, const uint8_t*, uint32_t) {}
void TcpClose(int) {}
