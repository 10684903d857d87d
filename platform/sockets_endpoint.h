#pragma once
// The IPv4 endpoint of an address (network byte order) and a port (host
// order), the same on every system: the sockets services include this after
// their system's socket headers, which declare sockaddr_in, AF_INET and htons
// alike.

#include <cstdint>

inline sockaddr_in SocketEndpoint(uint32_t address, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = address;
  a.sin_port = htons(port);
  return a;
}
