#pragma once
// The RFC 2217 client ("rfc2217://HOST:PORT"): the converter behind a serial
// device server that speaks Telnet with the COM port control option (ser2net's
// telnet(rfc2217) accepter, device servers in a cabinet). Over the TCP
// client's connection, with its time-outs and reconnects, it agrees on binary
// mode both ways, sets the far line as a serial open sets the local one,
// doubles 0xFF going out and undoubles it coming in, and purges the server's
// receive buffer with every flush. Every step is non-blocking; negotiation
// advances whenever the port is serviced.

#include <cstdint>
#include <memory>

#include "ports/rx_ring.h"
#include "ports/tcp.h"

inline constexpr char Rfc2217Prefix[] = "rfc2217://";

// Answers the server has this long after the connection stands; options still
// unanswered then count as refused, so a server that ignores them is still
// served.
constexpr uint32_t Rfc2217NegotiationMs = 2000;

// A host name's lookup is given as long as a connection: the check and the
// update wait that long for the link.
constexpr uint32_t Rfc2217LookupMostMs = 5000;

// Why Open gave no port.
enum Rfc2217OpenFailure : uint8_t {
  Rfc2217BadName,       // not exact
  Rfc2217NoHost,        // the host name was not found (error: the sockets service's code)
  Rfc2217LookupFailed,  // the lookup failed otherwise (error: as above)
  Rfc2217LookupSlow,    // the resolver gave no answer within Rfc2217LookupMostMs
  Rfc2217NoSocket,      // no socket or memory
};

class Rfc2217Port final : public TcpTransport {
 public:
  // Opens a client from the text after the prefix: HOST is a dotted IPv4
  // address as TCPC_ takes it or a host name, looked up here, once; PORT is
  // decimal 1-65535; nothing else. Idle, like the TCP client. nullptr with
  // why (and error) on failure.
  static Rfc2217Port* Open(const char* text, Rfc2217OpenFailure* why, int* error);
  ~Rfc2217Port() override;

  void Service() override;
  uint32_t Take(RxRing& ring) override;
  void DiscardInput(RxRing& ring) override;
  void Write(const uint8_t* data, uint32_t count) override;
  bool Linked() const override;
  // A setting the server does not answer counts as taken; one answered with
  // another value does not.
  bool LineSet() const override { return comPort_ == Agreed && !lineDiffers_; }
  int32_t Handle() const override { return tcp_->Handle(); }
  const PortLinkHistory* LinkHistory() const override { return tcp_->LinkHistory(); }

 private:
  // Where one option stands: asked for by us, agreed, or off.
  enum Option : uint8_t { Off, Asked, Agreed };
  // Where the incoming stream stands: data, after IAC, after a verb, in a
  // subnegotiation, after IAC in one.
  enum Stream : uint8_t { InData, InCommand, InOption, InSub, InSubCommand };

  Rfc2217Port() = default;
  void Follow();
  void StartSession();
  uint32_t Receive();
  void Decode(uint8_t* bytes, uint32_t count);
  void Command(uint8_t b);
  void Collect(uint8_t b);
  void SubnegotiationEnd();
  void Answer(uint8_t verb, uint8_t option);
  void Send(const uint8_t* bytes, uint32_t count);

  std::unique_ptr<TcpClientPort> tcp_;
  std::unique_ptr<uint8_t[]> rawStorage_;
  std::unique_ptr<uint8_t[]> heldStorage_;
  RxRing raw_{};   // the stream as it came, before decoding
  RxRing held_{};  // decoded data not yet in the port's ring
  bool session_ = false;  // negotiation started on the connection that stands
  uint32_t negotiationEnd_ = 0;
  Option binaryOut_ = Off;  // we send binary (WILL BINARY)
  Option binaryIn_ = Off;   // the server sends binary (DO BINARY)
  Option comPort_ = Off;    // the server takes our line settings (WILL COM-PORT)
  Stream stream_ = InData;
  uint8_t verb_ = 0;
  uint8_t sub_[6] = {};     // the subnegotiation so far: option, command, value
  uint8_t subLength_ = 0;   // its length, beyond sub_ when longer
  uint8_t lineAnswered_ = 0;  // the line settings the server answered, a bit each
  bool lineDiffers_ = false;  // one was answered with another value
};
