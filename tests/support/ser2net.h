#pragma once
// ser2net in front of a serial device (a pty slave in tests): a raw TCP port on
// 127.0.0.1 whose bytes go to the device, set to 4800 8N1 with modem lines
// ignored, and back. The port is chosen here and another one is tried when it
// turns out busy. The process is stopped and reaped, and its folder removed,
// by the destructor.

#include <cstdint>
#include <string>

#include "support/child_process.h"

class Ser2net {
 public:
  // devicePath: e.g. "/dev/pts/7". On failure port() is 0 and Log() tells why.
  explicit Ser2net(const std::string& devicePath);
  ~Ser2net();
  Ser2net(const Ser2net&) = delete;
  Ser2net& operator=(const Ser2net&) = delete;

  uint16_t port() const { return port_; }
  // "TCPC_127.0.0.1:<port>", the port layer's name for the converter behind it.
  std::string PortName() const;
  std::string Log() const;

  // The configuration ser2net is given for a device and a TCP port.
  static std::string Config(const std::string& devicePath, uint16_t port);

 private:
  bool StartOn(const std::string& devicePath, uint16_t port);

  ChildProcess process_;
  std::string folder_;
  uint16_t port_ = 0;
};

// True when something listens on 127.0.0.1:port (read from /proc/net/tcp, so
// the check takes no connection of the listener's).
bool LocalPortListening(uint16_t port);
