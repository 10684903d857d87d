#pragma once
// Real TCP peers on 127.0.0.1 for tests: plain blocking sockets with bounded
// waits, so a test that goes wrong still ends by itself.

#include <cstdint>
#include <string>
#include <vector>

// An owned socket descriptor, closed on destruction.
class TcpFd {
 public:
  TcpFd() = default;
  explicit TcpFd(int fd) : fd_(fd) {}
  ~TcpFd() { Close(); }
  TcpFd(TcpFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  TcpFd& operator=(TcpFd&& other) noexcept;
  TcpFd(const TcpFd&) = delete;
  TcpFd& operator=(const TcpFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void Close();
  // Closes with a reset instead of an orderly end: the peer's next send or
  // receive fails as if this side had vanished.
  void Reset();

 private:
  int fd_ = -1;
};

// Listens on 127.0.0.1:port (0: the system chooses); *bound receives the port.
// Invalid on failure (port busy). A shared listener may take a port that
// TcpHoldPort holds.
TcpFd TcpListenLocal(uint16_t port, uint16_t* bound = nullptr, bool shared = false);

// Holds a free port on 127.0.0.1 (*port), bound but not listening, for as long
// as the socket lives: every connection to it is refused, and no other program
// can take it meanwhile. A shared TcpListenLocal on it serves it while it is
// held, so a server can go and come back without the port ever being free.
// Invalid when no port could be had.
TcpFd TcpHoldPort(uint16_t* port);

// A free port on 127.0.0.1 outside the system's range of automatic local
// ports, so that no connection attempt of this machine can take it as its own
// end while nothing listens there. Free when checked; a caller that binds it
// later still has to handle "busy".
uint16_t TcpPickPort();

// Connects to 127.0.0.1:port, waiting at most timeoutMs. Invalid on failure.
TcpFd TcpConnectLocal(uint16_t port, int timeoutMs = 3000);

// Takes one connection waiting on listener, waiting at most timeoutMs.
TcpFd TcpAcceptWithin(int listener, int timeoutMs);

// True when fd has something to read (data or end of stream) within timeoutMs.
bool TcpWaitReadable(int fd, int timeoutMs);

bool TcpSendAll(int fd, const std::vector<uint8_t>& bytes);
bool TcpSendAll(int fd, const std::string& text);

// Receives until count bytes arrived, the peer closed, or timeoutMs passed.
std::vector<uint8_t> TcpReceiveUpTo(int fd, size_t count, int timeoutMs);

std::vector<uint8_t> Bytes(const std::string& text);

// Number of open descriptors of this process.
int OpenDescriptorCount();
