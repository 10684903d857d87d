#include "sim/sim_tcp_mode.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sim/sim_serve.h"
#include "sim/sim_tcp.h"

namespace {

constexpr int kRetryMs = 200;  // between connection attempts

// A decimal port from min to 65535, or -1.
long ParsePort(const std::string& text, long min) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 5) return -1;
  const long value = std::strtol(text.c_str(), nullptr, 10);
  return value >= min && value <= 65535 ? value : -1;
}

}  // namespace

bool SimTcpModeParse(const char* listenPort, const char* connectTarget, const char* bindAddress, SimTcpMode* mode,
                     std::string* message, std::string* fault) {
  *mode = SimTcpMode{};
  if (listenPort != nullptr && connectTarget != nullptr) {
    *message = "--tcp-listen and --tcp-connect exclude each other";
    return false;
  }
  if (bindAddress != nullptr && listenPort == nullptr) {
    *message = "--bind goes with --tcp-listen";
    return false;
  }
  if (listenPort != nullptr) {
    const long port = ParsePort(listenPort, 0);
    if (port < 0) {
      *message = "--tcp-listen needs a port from 0 to 65535";
      *fault = listenPort;
      return false;
    }
    const std::string host = bindAddress != nullptr ? bindAddress : "127.0.0.1";
    if (SimTcpResolve(host, &mode->address) != 0) {
      *message = "--bind needs an IPv4 address of this machine";
      *fault = host;
      return false;
    }
    mode->kind = SimTcpMode::Listen;
    mode->port = static_cast<uint16_t>(port);
  }
  if (connectTarget != nullptr) {
    const std::string target = connectTarget;
    const size_t colon = target.rfind(':');
    const long port = colon == std::string::npos ? -1 : ParsePort(target.substr(colon + 1), 1);
    if (port < 0 || colon == 0) {
      *message = "--tcp-connect needs HOST:PORT with a port from 1 to 65535";
      *fault = target;
      return false;
    }
    if (SimTcpResolve(target.substr(0, colon), &mode->address) != 0) {
      *message = "--tcp-connect: no IPv4 address for the host";
      *fault = target.substr(0, colon);
      return false;
    }
    mode->kind = SimTcpMode::Connect;
    mode->port = static_cast<uint16_t>(port);
  }
  return true;
}

int SimTcpModeMain(const SimTcpMode& mode, SimConverter& converter, int stopFd, FILE* log) {
  SimTcpStatus status;
  status.log = log;
  int result = SimServeFailed;
  if (mode.kind == SimTcpMode::Listen) {
    int listener = -1;
    uint16_t port = 0;
    const int error = SimTcpListenOpen(mode.address, mode.port, &listener, &port);
    if (error != 0) {
      std::fprintf(stderr, "rs485sim: cannot listen on %s: %s\n", SimTcpFormat(mode.address, mode.port).c_str(),
                   std::strerror(error));
      return 1;
    }
    std::printf("%s\n", SimTcpFormat(mode.address, port).c_str());
    std::fflush(stdout);
    result = SimTcpListenServe(listener, converter, stopFd, &status);
    close(listener);
  } else if (mode.kind == SimTcpMode::Connect) {
    std::printf("%s\n", SimTcpFormat(mode.address, mode.port).c_str());
    std::fflush(stdout);
    result = SimTcpConnectServe(mode.address, mode.port, converter, stopFd, kRetryMs, &status);
  }

  int exitStatus = 0;
  if (result != SimServeStopped) {
    std::fprintf(stderr, "rs485sim: serving ended unexpectedly (%d)\n", result);
    exitStatus = 1;
  }
  const int error = converter.SaveFiles();
  if (error != 0) {
    std::fprintf(stderr, "rs485sim: saving files: %s\n", std::strerror(error));
    exitStatus = 1;
  }
  return exitStatus;
}
