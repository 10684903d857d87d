#pragma once
// A TCP server port of the port layer ("TCPS_port") on a port that is free:
// the system picks one for a moment, and a port someone takes in between is
// replaced by another. On the sockets service, so on every system.

#include <string>

#include "platform/sockets.h"
#include "ports/port_table.h"

// True when the port opened into id; *port is its number.
inline bool OpenTcpServerPort(PortId& id, uint16_t* port) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    int32_t s = -1;
    if (SocketCreateTcp(&s) != 0) return false;
    const bool picked = SocketBind(s, SocketAnyAddress, 0) == 0 && SocketLocalPort(s, port) == 0;
    SocketClose(s);
    if (picked && PortOpen(id, ("TCPS_" + std::to_string(*port)).c_str()) == PortOpenOk) return true;
  }
  return false;
}
