#include "ports/tcp.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/sockets.h"
#include "platform/system_error.h"
#include "platform/time.h"
#include "ports/ms_clock.h"
#include "ports/rx_ring.h"

namespace {

constexpr uint32_t kKeepAliveIdleSeconds = 10;
constexpr uint32_t kKeepAliveIntervalSeconds = 1;
constexpr uint16_t kConnectWindowMs = 10000;
// Attempts against a server that refuses start at most this often.
constexpr uint32_t kAttemptPauseMs = 250;
constexpr int kListenBacklog = 5;
constexpr uint32_t kClientChunk = 1024;  // at most this much per client pump
constexpr int32_t kReadLookMs = 10;     // a waiting read looks for data this often
// A server pump never takes more from one peer than the ring can hold; the
// rest stays in the socket for the next pump.
constexpr uint32_t kPeerChunk = RxRingSize;

// A decimal number of 1 to maxDigits digits, without a leading zero, at most
// maxValue; text is moved past the digits.
bool StrictDecimal(const char*& text, int maxDigits, uint32_t maxValue, uint32_t* value) {
  const char* start = text;
  uint32_t v = 0;
  while (*text >= '0' && *text <= '9' && text - start < maxDigits) v = v * 10 + static_cast<uint32_t>(*text++ - '0');
  const int digits = static_cast<int>(text - start);
  if (digits == 0 || (digits > 1 && *start == '0') || v > maxValue) return false;
  *value = v;
  return true;
}

// A socket set up as every client connection needs it: 0, or the sockets
// service's code.
int NewClientSocket(int32_t* socket) {
  int32_t s = -1;
  int error = SocketCreateTcp(&s);
  if (error != 0) return error;
  error = SocketSetNonBlocking(s);
  if (error == 0) error = SocketSetKeepAliveTimes(s, kKeepAliveIdleSeconds, kKeepAliveIntervalSeconds);
  if (error == 0) error = SocketSetNoDelay(s);
  if (error != 0) {
    SocketClose(s);
    return error;
  }
  *socket = s;
  return 0;
}

void DropPeer(int32_t& peer) {
  SocketClose(peer);
  peer = -1;
}

}  // namespace

int TcpParseClientName(const char* text, uint32_t* address, uint16_t* port) {
  uint8_t parts[4];
  for (int k = 0; k < 4; ++k) {
    uint32_t part = 0;
    if (!StrictDecimal(text, 3, 255, &part)) return -1;
    parts[k] = static_cast<uint8_t>(part);
    if (*text++ != (k < 3 ? '.' : ':')) return -1;
  }
  if (TcpParseServerName(text, port) != 0) return -1;
  std::memcpy(address, parts, sizeof parts);  // in memory order: network byte order
  return 0;
}

int TcpParseServerName(const char* text, uint16_t* port) {
  uint32_t number = 0;
  if (!StrictDecimal(text, 5, 65535, &number) || number == 0 || *text != '\0') return -1;
  *port = static_cast<uint16_t>(number);
  return 0;
}

int32_t TcpTransport::ReadRest(RxRing& ring, uint8_t* out, int32_t count, int32_t timeoutMs) {
  const uint32_t deadline = MsClockDeadline32(static_cast<uint32_t>(timeoutMs));
  // One more look once the deadline has passed: a process held up past it
  // still takes what came meanwhile.
  for (bool last = false;; last = TickReached32(deadline) != 0) {
    Service();
    Pump(ring);
    if (RxRingCount(ring) >= static_cast<uint32_t>(count)) break;
    if (last) return 0;
    PlatformSleepMs(kReadLookMs);
  }
  RxRingTake(ring, out, static_cast<uint32_t>(count));
  return count;
}

void TcpTransport::DiscardInput(RxRing& ring) {
  // What the sockets already hold is input too, however much of it: an answer
  // that came after its time-out, or one stray byte, must not be taken for the
  // answer to the next request. A pass may bring no data at all (a Telnet
  // server's notices), so the flush goes on until the sockets give nothing
  // more. A peer that never stops sending cannot keep it going for longer than
  // PortFlushMostMs.
  const uint32_t deadline = MsClockDeadline32(PortFlushMostMs);
  while (Take(ring) > 0) {
    RxRingEmpty(ring);
    if (TickReached32(deadline) != 0) break;
  }
  RxRingEmpty(ring);
}

int TcpClientPort::Open(uint32_t address, uint16_t port, TcpClientPort** client) {
  int32_t s = -1;
  const int error = NewClientSocket(&s);
  if (error != 0) return error;
  auto* made = new (std::nothrow) TcpClientPort;
  if (made == nullptr) {
    SocketClose(s);
    return ENOMEM;
  }
  made->serverAddress = address;
  made->serverPort = port;
  made->nextAttempt = MsClockTick32();
  made->Use(s);
  *client = made;
  return 0;
}

TcpClientPort::~TcpClientPort() { SocketClose(handle); }

// Notes how an attempt (stood: false) or a connection ended: error 0 when
// the server closed it, else the sockets service's code, whose account is
// taken now, while it is the last.
void TcpClientPort::End(int error, bool stood) {
  PortLinkEnd& end = history.lastEnd;
  end.ended = true;
  end.closed = error == 0;
  end.system = error != 0 ? SystemErrorOf(error) : SystemError{};
  if (!stood) return;
  history.lastLoss = end;
  ++history.losses;
}

void TcpClientPort::Use(int32_t socket) {
  handle = socket;
  connected = 0;
  connecting = 0;
}

// Gives up the connection or the attempt and starts over on a fresh socket: a
// socket whose connection failed or broke cannot be connected again. If no
// socket can be had now, the handle is -1 and the next step tries again.
void TcpClientPort::Renew() {
  SocketClose(handle);
  int32_t s = -1;
  Use(NewClientSocket(&s) == 0 ? s : -1);
}

void TcpClientPort::Connected() {
  // With nobody listening on a local port, an attempt can meet itself and
  // would then hear its own writes as replies.
  if (SocketIsSelfConnected(handle)) {
    Renew();
    return;
  }
  connecting = 0;
  connected = 1;
  SocketAckAtOnce(handle);  // best effort: without it answers may come later
}

void TcpClientPort::ConnectStep() {
  if (connected != 0) return;
  if (connecting != 0) {
    bool done = false;
    const int error = SocketConnectDone(handle, &done);
    if (error != 0) {
      End(error, false);
      Renew();
    } else if (done) {
      Connected();
    } else if (TickReached16(connectDeadline) != 0) {
      End(ETIMEDOUT, false);  // the server did not answer in time
      Renew();
    }
    return;
  }

  // A refusing server would otherwise be asked hundreds of times a second.
  if (TickReached32(nextAttempt) == 0) return;
  if (handle < 0) {
    Renew();
    if (handle < 0) return;
  }
  nextAttempt = MsClockDeadline32(kAttemptPauseMs);
  const int error = SocketConnect(handle, serverAddress, serverPort);
  if (error == 0 || error == EISCONN) {
    Connected();
  } else if (error == EINPROGRESS) {
    connecting = 1;
    connectDeadline = MsClockDeadline16(kConnectWindowMs);
  } else {
    End(error, false);
    Renew();
  }
}

uint32_t TcpClientPort::Take(RxRing& ring) {
  if (connected == 0) return 0;
  uint8_t buffer[kClientChunk];
  uint32_t got = 0;
  const int error = SocketReceive(handle, buffer, sizeof buffer, &got);
  if (error == EAGAIN) return 0;
  if (error == 0 && got > 0) {
    // A server that leaves Nagle on (ser2net does) sends its next segment
    // only once this one is acknowledged.
    SocketAckAtOnce(handle);
    RxRingAppend(ring, buffer, got);
    return got;
  }
  End(error, true);  // the server closed the connection (0), or it broke
  Renew();
  return 0;
}

void TcpClientPort::Write(const uint8_t* data, uint32_t count) {
  if (connected == 0) return;  // not connected: dropped
  uint32_t sent = 0;
  const int error = SocketSend(handle, data, count, &sent);
  // A full send buffer costs this write only; the connection stays.
  if (error == EAGAIN) return;
  if (error == 0 && sent == count) return;
  // A cut write would garble the stream: the connection is given up.
  End(error != 0 ? error : ENOBUFS, true);
  Renew();
}

TcpServerPort::TcpServerPort() {
  for (int32_t& entry : clients) entry = -1;
}

int TcpServerPort::Open(uint16_t port, TcpServerPort** server) {
  int32_t s = -1;
  int error = SocketCreateTcp(&s);
  if (error != 0) return error;
  error = SocketSetNonBlocking(s);
  if (error == 0) error = SocketSetKeepAlive(s);
  if (error == 0) error = SocketSetNoDelay(s);
  // Reopening the port right after closing it must not wait for the old
  // connections' TIME_WAIT to pass.
  if (error == 0) error = SocketSetReuseAddress(s);
  if (error == 0) error = SocketBind(s, SocketAnyAddress, port);
  if (error == 0) error = SocketListen(s, kListenBacklog);
  TcpServerPort* made = error == 0 ? new (std::nothrow) TcpServerPort : nullptr;
  if (error == 0 && made == nullptr) error = ENOMEM;
  if (error != 0) {
    SocketClose(s);
    return error;
  }
  made->handle = s;
  *server = made;
  return 0;
}

TcpServerPort::~TcpServerPort() {
  for (int32_t& peer : clients) DropPeer(peer);
  SocketClose(handle);
}

void TcpServerPort::Accept() {
  int32_t* free = nullptr;
  for (int32_t& entry : clients) {
    if (entry < 0) {
      free = &entry;
      break;
    }
  }
  if (free == nullptr) return;  // the others wait in the listen backlog
  int32_t peer = -1;
  if (SocketAccept(handle, &peer) != 0) return;
  // Set explicitly: not every system passes these on from the listener.
  SocketSetNoDelay(peer);
  SocketSetKeepAlive(peer);
  *free = peer;
}

bool TcpServerPort::Linked() const {
  for (const int32_t peer : clients)
    if (peer >= 0) return true;
  return false;
}

uint32_t TcpServerPort::Take(RxRing& ring) {
  uint8_t buffer[kPeerChunk];
  uint32_t taken = 0;
  for (int32_t& peer : clients) {
    if (peer < 0) continue;
    uint32_t waiting = 0;
    if (SocketQueued(peer, &waiting) != 0) {
      DropPeer(peer);
      return taken;  // the other peers wait for the next pump
    }
    // A peer that has closed shows nothing waiting; a one-byte read tells
    // that apart from a quiet one.
    if (waiting == 0) waiting = 1;
    if (waiting > kPeerChunk) waiting = kPeerChunk;
    uint32_t got = 0;
    const int error = SocketReceive(peer, buffer, waiting, &got);
    if (error == EAGAIN) continue;
    if (error != 0 || got == 0) {
      DropPeer(peer);
      continue;
    }
    RxRingAppend(ring, buffer, got);
    taken += got;
  }
  return taken;
}

void TcpServerPort::Write(const uint8_t* data, uint32_t count) {
  // A peer that cannot take the whole write would get a cut stream; it is
  // dropped instead and may connect again.
  for (int32_t& peer : clients) {
    if (peer < 0) continue;
    uint32_t sent = 0;
    if (SocketSend(peer, data, count, &sent) != 0 || sent != count) DropPeer(peer);
  }
}
