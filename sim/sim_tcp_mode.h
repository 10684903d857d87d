#pragma once
// The TCP modes of the rs485sim program: --tcp-listen PORT [--bind ADDR]
// serves the converter to whoever connects; --tcp-connect HOST:PORT connects
// to a server port and keeps reconnecting. The first line of standard output
// is the address served or connected to, "a.b.c.d:port".

#include <cstdint>
#include <cstdio>
#include <string>

#include "sim/sim_converter.h"

struct SimTcpMode {
  enum Kind { None, Listen, Connect } kind = None;
  uint32_t address = 0;  // to bind, or to connect to; network byte order
  uint16_t port = 0;     // 0 to listen: the system chooses
};

// Makes the mode from the options given (each may be nullptr). False with a
// message and the text at fault when they do not fit together or do not parse.
bool SimTcpModeParse(const char* listenPort, const char* connectTarget, const char* bindAddress, SimTcpMode* mode,
                     std::string* message, std::string* fault);

// Serves in the mode until stopFd becomes readable, then saves the
// converter's files. Returns the program's exit status; says what failed on
// standard error.
int SimTcpModeMain(const SimTcpMode& mode, SimConverter& converter, int stopFd, FILE* log);
