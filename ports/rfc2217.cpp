#include "ports/rfc2217.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <new>

#include "platform/sockets.h"
#include "ports/ms_clock.h"
#include "ports/serial_transport.h"

namespace {

// Telnet's command bytes, and the two options the port uses.
constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250, kSe = 240;
constexpr uint8_t kBinary = 0, kComPort = 44;
// COM port control commands and values, as the client sends them.
constexpr uint8_t kSetBaud = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4, kSetControl = 5,
                  kPurgeData = 12;
constexpr uint8_t kParityNone = 1, kOneStopBit = 1, kNoFlowControl = 1, kDtrOff = 9, kRtsOff = 12;
constexpr uint8_t kPurgeReceived = 1;  // the server's buffer of what the device sent
// The server answers each line setting with the request's code + 100 and the
// value it now uses.
constexpr uint8_t kReplyOffset = 100;

// A reply to one of the line settings below, and the value asked for. A
// SET-CONTROL value belongs to a group (outbound flow control 1-3, DTR 7-9,
// RTS 10-12); a reply in a group is compared with what was asked in it.
struct LineReply {
  uint8_t command;
  uint8_t size;  // bytes of the value: 4 for the baud rate, 1 for the others
  uint32_t low, high, asked;
};
constexpr LineReply kLineReplies[] = {
    {kSetBaud, 4, 0, 0xFFFFFFFF, 4800}, {kSetDataSize, 1, 0, 255, 8},  {kSetParity, 1, 0, 255, 1},
    {kSetStopSize, 1, 0, 255, 1},       {kSetControl, 1, 1, 3, 1},     {kSetControl, 1, 7, 9, 9},
    {kSetControl, 1, 10, 12, 12},
};
// Each setting's bit in the record of those the server answered; the three
// SET-CONTROL requests share one, since a server may answer them with one reply.
constexpr uint8_t kAllLineReplies = 0x1F;

constexpr uint32_t kChunk = 1024;
constexpr size_t kHostSize = 256;  // a DNS name is at most 253 characters

static_assert(ConverterLine.baud == 4800 && ConverterLine.dataBits == 8 && ConverterLine.parity == 'N' &&
                  ConverterLine.stopBits == 1,
              "the far line below is the one a serial open sets");
// 4800 baud, 8 data bits, no parity, 1 stop bit, no flow control, DTR and RTS
// off: the line a serial open sets on the computer's own port.
constexpr uint8_t kLine[] = {
    kIac, kSb, kComPort, kSetBaud, 0x00, 0x00, 0x12, 0xC0, kIac, kSe,
    kIac, kSb, kComPort, kSetDataSize, 8, kIac, kSe,
    kIac, kSb, kComPort, kSetParity, kParityNone, kIac, kSe,
    kIac, kSb, kComPort, kSetStopSize, kOneStopBit, kIac, kSe,
    kIac, kSb, kComPort, kSetControl, kNoFlowControl, kIac, kSe,
    kIac, kSb, kComPort, kSetControl, kDtrOff, kIac, kSe,
    kIac, kSb, kComPort, kSetControl, kRtsOff, kIac, kSe,
};

bool Digit(char c) { return c >= '0' && c <= '9'; }
bool Letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// A host name as DNS takes it: labels of 1 to 63 letters, digits and '-'
// (not at either end) between single dots, the last label not all digits.
bool HostName(const char* host) {
  const size_t length = std::strlen(host);
  if (length == 0 || length > 253) return false;
  size_t start = 0;
  bool allDigits = true;
  for (size_t i = 0; i <= length; ++i) {
    const char c = i < length ? host[i] : '.';
    if (c != '.') {
      if (!Letter(c) && !Digit(c) && c != '-') return false;
      allDigits = allDigits && Digit(c);
      continue;
    }
    if (i == start || i - start > 63 || host[start] == '-' || host[i - 1] == '-') return false;
    if (i == length) return !allDigits;
    start = i + 1;
    allDigits = true;
  }
  return false;
}

// "HOST:PORT" split: the host into host (kHostSize bytes), the port a
// decimal 1-65535 without a leading zero and with nothing after it.
bool SplitName(const char* text, char* host, uint16_t* port) {
  const char* colon = std::strchr(text, ':');
  if (colon == nullptr || colon - text >= static_cast<ptrdiff_t>(kHostSize) || colon[1] == '0') return false;
  uint32_t value = 0;
  const char* digit = colon + 1;
  for (; Digit(*digit) && digit - colon <= 5; ++digit) value = value * 10 + static_cast<uint32_t>(*digit - '0');
  if (digit == colon + 1 || *digit != '\0' || value > 65535) return false;
  std::memcpy(host, text, static_cast<size_t>(colon - text));
  host[colon - text] = '\0';
  *port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

Rfc2217Port* Rfc2217Port::Open(const char* text, Rfc2217OpenFailure* why, int* error) {
  *why = Rfc2217BadName;
  *error = 0;
  char host[kHostSize];
  uint16_t port = 0;
  if (!SplitName(text, host, &port)) return nullptr;
  uint32_t address = 0;
  if (std::strspn(host, "0123456789.") == std::strlen(host)) {
    // Digits and dots are an address, taken as TCPC_ takes it: "127.1" is
    // refused rather than read as some other address.
    if (TcpParseClientName(text, &address, &port) != 0) return nullptr;
  } else {
    if (!HostName(host)) return nullptr;
    *error = SocketResolve(host, Rfc2217LookupMostMs, &address);
    if (*error == EINVAL) return nullptr;  // an address in a loose numeric form
    if (*error != 0) {
      *why = *error == ENOENT ? Rfc2217NoHost : *error == ETIMEDOUT ? Rfc2217LookupSlow : Rfc2217LookupFailed;
      return nullptr;
    }
  }

  *why = Rfc2217NoSocket;
  std::unique_ptr<Rfc2217Port> client(new (std::nothrow) Rfc2217Port);
  if (client == nullptr) return nullptr;
  TcpClientPort* tcp = nullptr;
  *error = TcpClientPort::Open(address, port, &tcp);
  client->tcp_.reset(tcp);
  client->rawStorage_.reset(new (std::nothrow) uint8_t[RxRingSize]);
  client->heldStorage_.reset(new (std::nothrow) uint8_t[RxRingSize]);
  if (client->tcp_ == nullptr || client->rawStorage_ == nullptr || client->heldStorage_ == nullptr) return nullptr;
  client->raw_.storage = client->rawStorage_.get();
  client->held_.storage = client->heldStorage_.get();
  return client.release();
}

Rfc2217Port::~Rfc2217Port() = default;

// Runs after every call that may end the TCP client's connection: a
// connection that ended ends its negotiation, and a new one starts it over
// (the server knows nothing of the last one's).
void Rfc2217Port::Follow() {
  if (tcp_->connected == 0)
    session_ = false;
  else if (!session_)
    StartSession();
}

void Rfc2217Port::StartSession() {
  session_ = true;
  stream_ = InData;
  lineAnswered_ = 0;
  lineDiffers_ = false;
  binaryOut_ = binaryIn_ = comPort_ = Asked;
  negotiationEnd_ = MsClockDeadline32(Rfc2217NegotiationMs);
  static constexpr uint8_t kAsk[] = {kIac, kWill, kBinary, kIac, kDo, kBinary, kIac, kWill, kComPort};
  Send(kAsk, sizeof kAsk);
}

void Rfc2217Port::Send(const uint8_t* bytes, uint32_t count) {
  tcp_->Write(bytes, count);
  Follow();
}

void Rfc2217Port::Service() {
  tcp_->Service();
  Follow();
  Receive();
}

// Takes what the connection brought: the server's commands are answered at
// once, so the negotiation goes on whenever the port is serviced; data waits
// in held_ for the port's ring.
uint32_t Rfc2217Port::Receive() {
  if (!session_) return 0;
  const uint32_t taken = tcp_->Take(raw_);
  Follow();
  uint8_t chunk[kChunk];
  for (uint32_t got = 0; (got = RxRingTake(raw_, chunk, kChunk)) > 0;) Decode(chunk, got);
  return taken;
}

// Decodes in place: data never grows.
void Rfc2217Port::Decode(uint8_t* bytes, uint32_t count) {
  uint32_t data = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t b = bytes[i];
    switch (stream_) {
      case InData:
        if (b == kIac)
          stream_ = InCommand;
        else
          bytes[data++] = b;
        break;
      case InCommand:
        if (b == kIac)
          bytes[data++] = b;
        Command(b);
        break;
      case InOption:
        stream_ = InData;
        Answer(verb_, b);
        break;
      case InSub:
        if (b == kIac)
          stream_ = InSubCommand;
        else
          Collect(b);
        break;
      case InSubCommand:  // IAC IAC is 0xFF inside; IAC SE ends it
        if (b == kIac) {
          Collect(b);
          stream_ = InSub;
        } else if (b == kSe) {
          SubnegotiationEnd();
          stream_ = InData;
        } else {
          // Any other command ends the subnegotiation unfinished and is a
          // command of its own: its option byte is no data.
          Command(b);
        }
        break;
    }
  }
  RxRingAppend(held_, bytes, data);
}

// The byte after IAC, outside a subnegotiation or ending one.
void Rfc2217Port::Command(uint8_t b) {
  if (b >= kWill && b <= kDont) {
    verb_ = b;
    stream_ = InOption;
  } else if (b == kSb) {
    subLength_ = 0;
    stream_ = InSub;
  } else {
    stream_ = InData;  // IAC IAC (the data byte is taken), NOP, GA and the like
  }
}

void Rfc2217Port::Collect(uint8_t b) {
  if (subLength_ < sizeof sub_) sub_[subLength_] = b;
  if (subLength_ < 255) ++subLength_;
}

// A finished subnegotiation: of the server's answers and notices only the
// replies to the line settings matter; one that differs from what was asked
// means the line is not the converter's.
void Rfc2217Port::SubnegotiationEnd() {
  if (subLength_ < 3 || subLength_ > sizeof sub_ || sub_[0] != kComPort) return;
  const uint8_t command = static_cast<uint8_t>(sub_[1] - kReplyOffset);
  const uint32_t size = subLength_ - 2u;
  uint32_t value = 0;
  for (uint32_t k = 0; k < size; ++k) value = value << 8 | sub_[2 + k];
  for (const LineReply& reply : kLineReplies) {
    if (reply.command != command || reply.size != size || value < reply.low || value > reply.high) continue;
    lineAnswered_ = static_cast<uint8_t>(lineAnswered_ | 1u << (command - kSetBaud));
    if (value != reply.asked) lineDiffers_ = true;
  }
}

// Agrees to binary mode both ways and to the COM port option, refuses every
// other option, and answers only what changes an option's state, so that two
// sides never answer each other's answers for ever.
void Rfc2217Port::Answer(uint8_t verb, uint8_t option) {
  const bool ours = verb == kDo || verb == kDont;  // about what we send
  const bool yes = verb == kDo || verb == kWill;
  Option* state = nullptr;
  if (option == kBinary) state = ours ? &binaryOut_ : &binaryIn_;
  if (option == kComPort && ours) state = &comPort_;
  const uint8_t agree[] = {kIac, ours ? kWill : kDo, option};
  const uint8_t refuse[] = {kIac, ours ? kWont : kDont, option};
  if (state == nullptr) {
    if (yes) Send(refuse, sizeof refuse);
    return;
  }
  if (!yes) {
    if (*state == Agreed) Send(refuse, sizeof refuse);
    *state = Off;
    return;
  }
  if (*state == Agreed) return;
  if (*state == Off) Send(agree, sizeof agree);
  *state = Agreed;
  if (state == &comPort_) Send(kLine, sizeof kLine);
}

uint32_t Rfc2217Port::Take(RxRing& ring) {
  const uint32_t taken = Receive();
  uint8_t chunk[kChunk];
  for (uint32_t got = 0; (got = RxRingTake(held_, chunk, kChunk)) > 0;) RxRingAppend(ring, chunk, got);
  return taken;
}

void Rfc2217Port::DiscardInput(RxRing& ring) {
  // A late answer may still wait in the server, where no local flush reaches.
  // What goes to the converter is left alone: a request still on its way
  // must not be cut.
  static constexpr uint8_t kPurge[] = {kIac, kSb, kComPort, kPurgeData, kPurgeReceived, kIac, kSe};
  if (Linked() && comPort_ == Agreed) Send(kPurge, sizeof kPurge);
  TcpTransport::DiscardInput(ring);
}

void Rfc2217Port::Write(const uint8_t* data, uint32_t count) {
  if (!Linked()) return;  // dropped, as the TCP client drops what comes before its connection
  // 0xFF starts a Telnet command; doubled, it is a data byte.
  std::unique_ptr<uint8_t[]> doubled(new (std::nothrow) uint8_t[2 * static_cast<size_t>(count) + 1]);
  if (doubled == nullptr) return;
  uint32_t length = 0;
  for (uint32_t i = 0; i < count; ++i) {
    doubled[length++] = data[i];
    if (data[i] == kIac) doubled[length++] = kIac;
  }
  Send(doubled.get(), length);
}

bool Rfc2217Port::Linked() const {
  if (!session_ || tcp_->connected == 0) return false;
  // With the option agreed, the line is set once the server has answered each
  // setting: nothing goes to the converter at a line speed still changing.
  const bool answered = binaryOut_ != Asked && binaryIn_ != Asked && comPort_ != Asked &&
                        (comPort_ != Agreed || lineAnswered_ == kAllLineReplies);
  return answered || TickReached32(negotiationEnd_) != 0;
}
