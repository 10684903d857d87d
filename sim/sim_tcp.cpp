#include "sim/sim_tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "platform/sockets.h"
#include "sim/sim_serve.h"

namespace {

constexpr int kListenBacklog = 5;
constexpr int kConnectWaitMs = 5000;  // an attempt nobody answers is given up after this
constexpr int kAcceptRetryMs = 100;   // after an accept failure other than "none waiting"
constexpr uint32_t kKeepAliveIdleSeconds = 10;
constexpr uint32_t kKeepAliveIntervalSeconds = 1;
constexpr int kStopped = -1;  // never an errno value

// True when fd becomes readable within timeoutMs (-1: no limit). A negative
// fd never does; the wait is then just a sleep.
bool ReadableWithin(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  for (;;) {
    const int ready = poll(&p, 1, timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0 && (p.revents & POLLIN) != 0;
  }
}

void Note(const SimTcpStatus* status, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Note(const SimTcpStatus* status, const char* format, ...) {
  if (status->log == nullptr) return;
  char text[256];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  std::fprintf(status->log, "%s tcp %s\n", SimLogStamp().c_str(), text);
  std::fflush(status->log);
}

std::string PeerOf(int socket) {
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &size) != 0) return "?";
  return SimTcpFormat(peer.sin_addr.s_addr, ntohs(peer.sin_port));
}

// Settings of every connection the converter is served on: small answers
// leave at once, and a peer that vanished is noticed in the end.
void SetUpConnection(int socket) {
  SocketSetNoDelay(socket);
  SocketSetKeepAliveTimes(socket, kKeepAliveIdleSeconds, kKeepAliveIntervalSeconds);
}

// Waits for a connection under way: 0 connected, kStopped, or its errno.
int AwaitConnect(int socket, int stopFd) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectWaitMs);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - std::chrono::steady_clock::now()).count();
    if (left <= 0) return ETIMEDOUT;
    pollfd p[2] = {{socket, POLLOUT, 0}, {stopFd, POLLIN, 0}};
    const int ready = poll(p, stopFd >= 0 ? 2 : 1, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) return errno;
    if (stopFd >= 0 && (p[1].revents & POLLIN) != 0) return kStopped;
    bool done = false;
    const int error = SocketConnectDone(socket, &done);
    if (error != 0 || done) return error;
  }
}

// One connection attempt: 0 with *connected set, kStopped, or an errno value.
int ConnectOnce(uint32_t address, uint16_t port, int stopFd, int* connected) {
  int32_t s = -1;
  int error = SocketCreateTcp(&s);
  if (error != 0) return error;
  error = SocketSetNonBlocking(s);
  if (error == 0) error = SocketConnect(s, address, port);
  if (error == EINPROGRESS) error = AwaitConnect(s, stopFd);
  // An attempt at a free local port can meet itself; that is nobody listening.
  if (error == 0 && SocketIsSelfConnected(s)) error = ECONNREFUSED;
  if (error != 0) {
    SocketClose(s);
    return error;
  }
  SetUpConnection(s);
  *connected = s;
  return 0;
}

}  // namespace

std::string SimTcpFormat(uint32_t address, uint16_t port) {
  in_addr a{};
  a.s_addr = address;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a, text, sizeof text);
  return std::string(text) + ":" + std::to_string(port);
}

int SimTcpResolve(const std::string& host, uint32_t* address) {
  if (host.empty()) return EINVAL;
  if (SocketParseAddress(host.c_str(), address) == 0) return 0;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return EINVAL;
  *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return 0;
}

int SimTcpListenOpen(uint32_t address, uint16_t port, int* listener, uint16_t* boundPort) {
  int32_t s = -1;
  int error = SocketCreateTcp(&s);
  if (error != 0) return error;
  // The simulator stopped and started again takes its port back at once,
  // however many closed connections still linger on it.
  error = SocketSetReuseAddress(s);
  if (error == 0) error = SocketSetNonBlocking(s);
  if (error == 0) error = SocketBind(s, address, port);
  if (error == 0) error = SocketListen(s, kListenBacklog);
  if (error == 0) error = SocketLocalPort(s, boundPort);
  if (error != 0) {
    close(s);
    return error;
  }
  *listener = s;
  return 0;
}

int SimTcpListenServe(int listener, SimConverter& converter, int stopFd, SimTcpStatus* status) {
  SimTcpStatus quiet;
  if (status == nullptr) status = &quiet;
  if (SocketSetNonBlocking(listener) != 0) return SimServeFailed;
  // While a connection is served, a stop and a new connection must both end
  // SimServe: one epoll descriptor is readable when either is.
  const int wake = epoll_create1(EPOLL_CLOEXEC);
  if (wake < 0) return SimServeFailed;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = listener;
  bool ok = epoll_ctl(wake, EPOLL_CTL_ADD, listener, &event) == 0;
  event.data.fd = stopFd;
  if (ok && stopFd >= 0) ok = epoll_ctl(wake, EPOLL_CTL_ADD, stopFd, &event) == 0;
  if (!ok) {
    close(wake);
    return SimServeFailed;
  }

  int peer = -1;
  int result = SimServeStopped;
  for (;;) {
    if (peer < 0) {
      pollfd p[2] = {{listener, POLLIN, 0}, {stopFd, POLLIN, 0}};
      const int ready = poll(p, stopFd >= 0 ? 2 : 1, -1);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0 || (p[0].revents & POLLNVAL) != 0) {
        result = SimServeFailed;
        break;
      }
      if (stopFd >= 0 && (p[1].revents & POLLIN) != 0) break;
    } else {
      const int served = SimServe(peer, converter, wake);
      if (served != SimServeStopped) {
        Note(status, "connection from %s ended", PeerOf(peer).c_str());
        SocketClose(peer);
        peer = -1;
        status->connected = false;
        continue;
      }
      if (ReadableWithin(stopFd, 0)) break;
    }

    // A connection is waiting on the listener.
    int32_t taken = -1;
    const int error = SocketAccept(listener, &taken);
    if (error == EAGAIN) continue;  // it went away before it was taken
    if (error == EBADF || error == EINVAL || error == ENOTSOCK) {
      result = SimServeFailed;
      break;
    }
    if (error != 0) {  // out of descriptors or memory, or a connection that failed on arrival
      Note(status, "accept: %s", std::strerror(error));
      if (ReadableWithin(stopFd, kAcceptRetryMs)) break;
      continue;
    }
    SetUpConnection(taken);
    if (peer >= 0) {
      Note(status, "connection from %s taken over by %s", PeerOf(peer).c_str(), PeerOf(taken).c_str());
      SocketClose(peer);
    } else {
      Note(status, "connection from %s", PeerOf(taken).c_str());
    }
    peer = taken;
    status->connections++;
    status->connected = true;
  }
  if (peer >= 0) SocketClose(peer);
  status->connected = false;
  close(wake);
  return result;
}

int SimTcpConnectServe(uint32_t address, uint16_t port, SimConverter& converter, int stopFd, int retryMs,
                       SimTcpStatus* status) {
  SimTcpStatus quiet;
  if (status == nullptr) status = &quiet;
  const std::string target = SimTcpFormat(address, port);
  int lastError = 0;
  for (bool first = true;; first = false) {
    // Also after a connection ended, so that a server that takes connections
    // and drops them at once is not hammered.
    if (ReadableWithin(stopFd, first ? 0 : retryMs)) return SimServeStopped;
    int s = -1;
    const int error = ConnectOnce(address, port, stopFd, &s);
    if (error == kStopped) return SimServeStopped;
    if (error != 0) {
      if (error != lastError) Note(status, "cannot connect to %s: %s; trying again", target.c_str(), std::strerror(error));
      lastError = error;
      continue;
    }
    lastError = 0;
    Note(status, "connected to %s", target.c_str());
    status->connections++;
    status->connected = true;
    const int served = SimServe(s, converter, stopFd);
    SocketClose(s);
    status->connected = false;
    if (served == SimServeStopped) return SimServeStopped;
    Note(status, "connection to %s ended", target.c_str());
  }
}

bool SimTcpThread::WaitConnections(uint32_t count, int timeoutMs) const {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (status_.connections < count) {
    if (std::chrono::steady_clock::now() >= end) return false;
    usleep(2000);
  }
  return true;
}

SimTcpListener::SimTcpListener(SimConverter& converter, uint16_t port, const std::string& bindAddress) {
  int listener = -1;
  error_ = SimTcpResolve(bindAddress, &address_);
  if (error_ == 0) error_ = SimTcpListenOpen(address_, port, &listener, &port_);
  if (error_ != 0) return;
  // The thread owns the listening socket: once it stops, the port is free and
  // a client's connection is refused, as with the simulator gone.
  if (!Start([listener, &converter](int stopFd, SimTcpStatus* status) {
        SimTcpListenServe(listener, converter, stopFd, status);
        close(listener);
      })) {
    error_ = errno;
    close(listener);
    return;
  }
  ok_ = true;
}

std::string SimTcpListener::Address() const { return SimTcpFormat(address_, port_); }

std::string SimTcpListener::PortName() const { return "TCPC_" + Address(); }

SimTcpConnector::SimTcpConnector(SimConverter& converter, const std::string& address, uint16_t port, int retryMs) {
  uint32_t resolved = 0;
  if (SimTcpResolve(address, &resolved) != 0) return;
  ok_ = Start([resolved, port, retryMs, &converter](int stopFd, SimTcpStatus* status) {
    SimTcpConnectServe(resolved, port, converter, stopFd, retryMs, status);
  });
}
