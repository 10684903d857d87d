#include "support/tcp_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>

namespace {

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

int MsSince(std::chrono::steady_clock::time_point start) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

}  // namespace

TcpFd& TcpFd::operator=(TcpFd&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void TcpFd::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void TcpFd::Reset() {
  if (fd_ < 0) return;
  linger hard{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  Close();
}

namespace {

// A socket bound to 127.0.0.1:port; invalid when the port is taken.
TcpFd BindLocal(uint16_t port, bool shared, uint16_t* bound) {
  TcpFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s.valid()) return s;
  const int on = 1;
  setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (shared) setsockopt(s.get(), SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
  sockaddr_in a = Loopback(port);
  if (bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return TcpFd();
  socklen_t size = sizeof a;
  getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &size);
  if (bound != nullptr) *bound = ntohs(a.sin_port);
  return s;
}

}  // namespace

TcpFd TcpListenLocal(uint16_t port, uint16_t* bound, bool shared) {
  TcpFd s = BindLocal(port, shared, bound);
  if (s.valid() && listen(s.get(), 16) != 0) return TcpFd();
  return s;
}

TcpFd TcpHoldPort(uint16_t* port) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    // Outside the automatic range, as TcpPickPort picks: no attempt of this
    // machine takes it as its own end either.
    const uint16_t picked = TcpPickPort();
    TcpFd held = picked != 0 ? BindLocal(picked, true, port) : TcpFd();
    if (held.valid()) return held;
  }
  return TcpFd();
}

uint16_t TcpPickPort() {
  int low = 32768, high = 60999;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low >> high;
  // Below the automatic range when there is room, else above it.
  const bool below = low > 11024;
  const int first = below ? 10000 : high + 1;
  const int last = below ? low - 1 : 65535;
  std::mt19937 pick(static_cast<unsigned>(std::random_device{}()) ^ static_cast<unsigned>(getpid()));
  std::uniform_int_distribution<int> within(first, last);
  for (int attempt = 0; attempt < 200; ++attempt) {
    const auto port = static_cast<uint16_t>(within(pick));
    TcpFd probe(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = Loopback(port);
    if (probe.valid() && bind(probe.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return port;
  }
  return 0;
}

TcpFd TcpConnectLocal(uint16_t port, int timeoutMs) {
  TcpFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s.valid()) return s;
  const int flags = fcntl(s.get(), F_GETFL);
  fcntl(s.get(), F_SETFL, flags | O_NONBLOCK);
  sockaddr_in a = Loopback(port);
  if (connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    if (errno != EINPROGRESS) return TcpFd();
    pollfd p{s.get(), POLLOUT, 0};
    if (poll(&p, 1, timeoutMs) != 1) return TcpFd();
    int error = 0;
    socklen_t size = sizeof error;
    getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &error, &size);
    if (error != 0) return TcpFd();
  }
  fcntl(s.get(), F_SETFL, flags);
  return s;
}

TcpFd TcpAcceptWithin(int listener, int timeoutMs) {
  if (!TcpWaitReadable(listener, timeoutMs)) return TcpFd();
  return TcpFd(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

bool TcpWaitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeoutMs) == 1;
}

bool TcpSendAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool TcpSendAll(int fd, const std::string& text) { return TcpSendAll(fd, Bytes(text)); }

std::vector<uint8_t> TcpReceiveUpTo(int fd, size_t count, int timeoutMs) {
  std::vector<uint8_t> out;
  const auto start = std::chrono::steady_clock::now();
  while (out.size() < count) {
    const int left = timeoutMs - MsSince(start);
    if (left <= 0 || !TcpWaitReadable(fd, left)) break;
    uint8_t buffer[4096];
    const size_t want = std::min(count - out.size(), sizeof buffer);
    const ssize_t n = recv(fd, buffer, want, 0);
    if (n <= 0) break;
    out.insert(out.end(), buffer, buffer + n);
  }
  return out;
}

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

int OpenDescriptorCount() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}
