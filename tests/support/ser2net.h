#pragma once
// ser2net in front of a serial device (a pty slave in tests): a TCP port on
// 127.0.0.1 (raw, or Telnet with or without the COM port option) whose bytes
// go to the device, set to 4800 8N1 (or the line given) with modem lines
// ignored, and back. The port is chosen here and another one is tried when it
// turns out busy. The process is stopped and reaped, and its folder removed,
// by the destructor.

#include <cstdint>
#include <string>

#include "support/child_process.h"

enum class Ser2netAccepter { Raw, Telnet, Rfc2217 };

class Ser2net {
 public:
  // devicePath: e.g. "/dev/pts/7"; line as ser2net writes it ("9600n82"). On
  // failure port() is 0 and Log() tells why.
  explicit Ser2net(const std::string& devicePath, Ser2netAccepter accepter = Ser2netAccepter::Raw,
                   const std::string& line = "4800n81");
  ~Ser2net();
  Ser2net(const Ser2net&) = delete;
  Ser2net& operator=(const Ser2net&) = delete;

  uint16_t port() const { return port_; }
  // The port layer's name for the converter behind it: "TCPC_127.0.0.1:<port>",
  // or "rfc2217://127.0.0.1:<port>" for a Telnet accepter.
  std::string PortName() const;
  std::string Log() const;

  // The configuration ser2net is given for a device and a TCP port.
  std::string Config(const std::string& devicePath, uint16_t port) const;

 private:
  bool StartOn(const std::string& devicePath, uint16_t port);

  Ser2netAccepter accepter_;
  std::string line_;
  ChildProcess process_;
  std::string folder_;
  uint16_t port_ = 0;
};

// True when something listens on 127.0.0.1:port (read from /proc/net/tcp, so
// the check takes no connection of the listener's).
bool LocalPortListening(uint16_t port);
