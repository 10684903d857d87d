#include "platform/sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

#include "platform/sockets_endpoint.h"
#include "platform/system_error_posix.h"

namespace {

int SetIntOption(int32_t socket, int level, int option, int value) {
  return setsockopt(socket, level, option, &value, sizeof value) == 0 ? 0 : errno;
}

// EWOULDBLOCK and EAGAIN are one case for every caller.
int WouldBlockAsAgain(int error) { return error == EWOULDBLOCK ? EAGAIN : error; }

}  // namespace

int SocketParseAddress(const char* text, uint32_t* address) {
  in_addr parsed{};
  if (inet_aton(text, &parsed) == 0) return EINVAL;
  *address = parsed.s_addr;
  return 0;
}

int SocketCreateTcp(int32_t* socket) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return errno;
  *socket = fd;
  return 0;
}

int SocketSetNonBlocking(int32_t socket) {
  const int flags = fcntl(socket, F_GETFL);
  if (flags < 0 || fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
  return 0;
}

int SocketSetKeepAlive(int32_t socket) { return SetIntOption(socket, SOL_SOCKET, SO_KEEPALIVE, 1); }

int SocketSetKeepAliveTimes(int32_t socket, uint32_t idleSeconds, uint32_t intervalSeconds) {
  int error = SocketSetKeepAlive(socket);
  if (error == 0) error = SetIntOption(socket, IPPROTO_TCP, TCP_KEEPIDLE, static_cast<int>(idleSeconds));
  if (error == 0) error = SetIntOption(socket, IPPROTO_TCP, TCP_KEEPINTVL, static_cast<int>(intervalSeconds));
  return error;
}

int SocketSetNoDelay(int32_t socket) { return SetIntOption(socket, IPPROTO_TCP, TCP_NODELAY, 1); }

int SocketAckAtOnce(int32_t socket) { return SetIntOption(socket, IPPROTO_TCP, TCP_QUICKACK, 1); }

int SocketSetReuseAddress(int32_t socket) { return SetIntOption(socket, SOL_SOCKET, SO_REUSEADDR, 1); }

int SocketConnect(int32_t socket, uint32_t address, uint16_t port) {
  const sockaddr_in to = SocketEndpoint(address, port);
  if (connect(socket, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return 0;
  // An interrupted connect goes on in the background, like one under way.
  return errno == EINTR ? EINPROGRESS : errno;
}

int SocketConnectDone(int32_t socket, bool* done) {
  *done = false;
  pollfd p{socket, POLLOUT, 0};
  const int ready = poll(&p, 1, 0);
  if (ready < 0) return errno == EINTR ? 0 : errno;
  if (ready == 0) return 0;
  // A failed attempt also reports the socket writable: only SO_ERROR tells.
  *done = true;
  int pending = 0;
  socklen_t size = sizeof pending;
  if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &pending, &size) != 0) return errno;
  if (pending != 0) return pending;
  if ((p.revents & (POLLERR | POLLHUP)) != 0) return ECONNREFUSED;
  return 0;
}

bool SocketIsSelfConnected(int32_t socket) {
  sockaddr_in local{}, peer{};
  socklen_t localSize = sizeof local, peerSize = sizeof peer;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &localSize) != 0) return false;
  if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0) return false;
  return local.sin_port == peer.sin_port && local.sin_addr.s_addr == peer.sin_addr.s_addr;
}

int SocketBind(int32_t socket, uint32_t address, uint16_t port) {
  const sockaddr_in at = SocketEndpoint(address, port);
  return bind(socket, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0 ? 0 : errno;
}

int SocketListen(int32_t socket, int backlog) { return listen(socket, backlog) == 0 ? 0 : errno; }

int SocketLocalPort(int32_t socket, uint16_t* port) {
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &size) != 0) return errno;
  *port = ntohs(local.sin_port);
  return 0;
}

int SocketAccept(int32_t listener, int32_t* accepted) {
  for (;;) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      *accepted = fd;
      return 0;
    }
    if (errno != EINTR) return WouldBlockAsAgain(errno);
  }
}

int SocketQueued(int32_t socket, uint32_t* count) {
  int waiting = 0;
  if (ioctl(socket, FIONREAD, &waiting) != 0) return errno;
  *count = waiting > 0 ? static_cast<uint32_t>(waiting) : 0;
  return 0;
}

int SocketReceive(int32_t socket, uint8_t* buffer, uint32_t size, uint32_t* got) {
  *got = 0;
  for (;;) {
    const ssize_t n = recv(socket, buffer, size, 0);
    if (n >= 0) {
      *got = static_cast<uint32_t>(n);
      return 0;
    }
    if (errno != EINTR) return WouldBlockAsAgain(errno);
  }
}

int SocketSend(int32_t socket, const uint8_t* data, uint32_t count, uint32_t* sent) {
  *sent = 0;
  for (;;) {
    const ssize_t n = send(socket, data, count, MSG_NOSIGNAL);
    if (n >= 0) {
      *sent = static_cast<uint32_t>(n);
      return 0;
    }
    if (errno != EINTR) return WouldBlockAsAgain(errno);
  }
}

void SocketClose(int32_t socket) {
  if (socket < 0) return;
  shutdown(socket, SHUT_RDWR);
  close(socket);
}

namespace {

// A lookup under way on the C library's own thread, with everything that
// thread reads: one given up that cannot be cancelled is left to it.
struct Lookup {
  gaicb request;
  addrinfo hints;
  char name[256];
};

int64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The resolver's result in errno terms, its own code and words noted.
int LookupError(int error) {
  if (error == EAI_SYSTEM) return errno;
  int kind = EIO;  // a failure the resolver does not explain further
  if (error == EAI_NONAME || error == EAI_NODATA || error == EAI_ADDRFAMILY) kind = ENOENT;
  if (error == EAI_AGAIN) kind = EAGAIN;
  if (error == EAI_MEMORY) kind = ENOMEM;
  return SystemErrorNote(error, gai_strerror(error), kind);
}

}  // namespace

int SocketResolve(const char* host, uint32_t timeoutMs, uint32_t* address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) == 0) {
    freeaddrinfo(found);
    return EINVAL;
  }

  const size_t length = std::strlen(host);
  auto* lookup = length < sizeof Lookup::name ? new (std::nothrow) Lookup{} : nullptr;
  if (lookup == nullptr) return length < sizeof Lookup::name ? ENOMEM : ENOENT;
  std::memcpy(lookup->name, host, length + 1);
  lookup->hints.ai_family = AF_INET;
  lookup->hints.ai_socktype = SOCK_STREAM;
  lookup->request.ar_name = lookup->name;
  lookup->request.ar_request = &lookup->hints;
  gaicb* list[] = {&lookup->request};
  int error = getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr);
  const int64_t deadline = MonotonicMs() + timeoutMs;
  while (error == 0 && (error = gai_error(&lookup->request)) == EAI_INPROGRESS) {
    const int64_t left = deadline - MonotonicMs();
    if (left <= 0) break;
    const timespec wait{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000};
    gai_suspend(list, 1, &wait);
  }
  if (error == EAI_INPROGRESS) {
    const int cancelled = gai_cancel(&lookup->request);
    if (cancelled == EAI_NOTCANCELED) return ETIMEDOUT;  // still in use there: left to it
    if (cancelled == EAI_CANCELED) {
      delete lookup;
      return ETIMEDOUT;
    }
    error = gai_error(&lookup->request);  // it ended meanwhile
  }
  addrinfo* result = lookup->request.ar_result;
  delete lookup;
  if (error != 0) return LookupError(error);
  *address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(result);
  return 0;
}
