#pragma once
// TCP transports of the port layer: a client ("TCPC_a.b.c.d:port") that keeps
// one connection and re-establishes it, and a server ("TCPS_port") with up to
// 16 peers. Every step is non-blocking; the timed reads wait, looking for
// data every 10 ms.

#include <cstdint>

#include "ports/port_transport.h"

constexpr int TcpServerPeers = 16;

// The address and port of a client name's text after "TCPC_": a dotted IPv4
// address of four decimal parts 0-255, ":" and a decimal port 1-65535, nothing
// else (no leading zeros, signs, blanks or trailing text). 0, or -1 when the
// text is anything else. The address comes in network byte order.
int TcpParseClientName(const char* text, uint32_t* address, uint16_t* port);

// The port of a server name's text after "TCPS_": a decimal port 1-65535 and
// nothing else, in the same strict form. 0, or -1 when the text is anything else.
int TcpParseServerName(const char* text, uint16_t* port);

// What both kinds share: waiting for input by looking every 10 ms, and a flush
// that also empties the sockets.
class TcpTransport : public PortTransport {
 public:
  void Pump(RxRing& ring) override { Take(ring); }
  int32_t ReadRest(RxRing& ring, uint8_t* out, int32_t count, int32_t timeoutMs) override;
  void DiscardInput(RxRing& ring) override;
  bool IsNetwork() const override { return true; }

  // The pump: moves what has arrived into ring and returns how many bytes it
  // took from the sockets, whether or not they were data.
  virtual uint32_t Take(RxRing& ring) = 0;
};

class TcpClientPort final : public TcpTransport {
 public:
  // Opens a client of address:port (as TcpParseClientName gives them), idle:
  // it connects at its first servicing. 0 and the client, or the sockets
  // service's code when no socket can be had (ENOMEM without memory).
  static int Open(uint32_t address, uint16_t port, TcpClientPort** client);
  ~TcpClientPort() override;

  void Service() override { ConnectStep(); }
  uint32_t Take(RxRing& ring) override;
  void Write(const uint8_t* data, uint32_t count) override;
  bool Linked() const override { return connected != 0; }
  int32_t Handle() const override { return handle; }
  const PortLinkHistory* LinkHistory() const override { return &history; }

  // One non-blocking step towards a connection.
  void ConnectStep();

  int32_t handle = -1;       // the connected or connecting socket; -1 when none could be had
  int32_t connected = 0;
  int32_t connecting = 0;
  uint16_t connectDeadline = 0;  // Tick16 value that ends a connection attempt
  uint32_t nextAttempt = 0;      // Tick32 before which no new attempt starts
  uint32_t serverAddress = 0;    // network byte order
  uint16_t serverPort = 0;       // host byte order
  PortLinkHistory history{};

 private:
  TcpClientPort() = default;
  void End(int error, bool stood);
  void Use(int32_t socket);
  void Renew();
  void Connected();
};

class TcpServerPort final : public TcpTransport {
 public:
  // Listens on every IPv4 interface at port. 0 and the server, or the sockets
  // service's code when the port cannot be had (ENOMEM without memory).
  static int Open(uint16_t port, TcpServerPort** server);
  ~TcpServerPort() override;

  void Service() override { Accept(); }
  uint32_t Take(RxRing& ring) override;
  void Write(const uint8_t* data, uint32_t count) override;
  bool Linked() const override;
  int32_t Handle() const override { return handle; }

  // Takes at most one waiting peer into the lowest free entry.
  void Accept();

  int32_t handle = -1;               // the listening socket
  int32_t clients[TcpServerPeers];   // peers, -1 = free entry

 private:
  TcpServerPort();
};
