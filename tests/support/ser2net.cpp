#include "support/ser2net.h"

#include <netinet/in.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/tcp_peer.h"

namespace {

constexpr int kAttempts = 5;
constexpr int kStartWaitMs = 5000;

}  // namespace

Ser2net::Ser2net(const std::string& devicePath, Ser2netAccepter accepter, const std::string& line)
    : accepter_(accepter), line_(line) {
  char tmpl[] = "/tmp/rs485-ser2net-XXXXXX";
  const char* made = mkdtemp(tmpl);
  if (made == nullptr) return;
  folder_ = made;
  for (int attempt = 0; attempt < kAttempts && port_ == 0; ++attempt) {
    const uint16_t port = TcpPickPort();
    if (port != 0 && StartOn(devicePath, port)) port_ = port;
  }
}

Ser2net::~Ser2net() {
  process_.Stop();
  std::error_code ignored;
  if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
}

std::string Ser2net::Config(const std::string& devicePath, uint16_t port) const {
  static const char* const kTelnet[] = {"", "telnet,", "telnet(rfc2217),"};
  std::ostringstream c;
  c << "%YAML 1.1\n"
    << "---\n"
    << "connection: &converter\n"
    << "  accepter: " << kTelnet[static_cast<int>(accepter_)] << "tcp,127.0.0.1," << port << "\n"
    << "  connector: serialdev," << devicePath << "," << line_ << ",local\n"
    << "  options:\n"
    << "    kickolduser: true\n";
  return c.str();
}

bool Ser2net::StartOn(const std::string& devicePath, uint16_t port) {
  const std::string program = FindProgram("ser2net");
  if (program.empty()) {
    std::ofstream(folder_ + "/ser2net.log", std::ios::app) << "ser2net is not installed\n";
    return false;
  }
  const std::string config = folder_ + "/ser2net.yaml";
  std::ofstream(config) << Config(devicePath, port);
  // -n: stay in the foreground, -u: no UUCP lock files, -P: pid file kept in
  // the private folder.
  if (!process_.Start({program, "-n", "-u", "-c", config, "-P", folder_ + "/ser2net.pid"},
                      folder_ + "/ser2net.log"))
    return false;
  for (int waited = 0; waited < kStartWaitMs; waited += 10) {
    if (LocalPortListening(port)) return true;
    if (!process_.Running()) return false;
    usleep(10 * 1000);
  }
  process_.Stop();
  return false;
}

std::string Ser2net::PortName() const {
  return (accepter_ == Ser2netAccepter::Raw ? "TCPC_" : "rfc2217://") + std::string("127.0.0.1:") +
         std::to_string(port_);
}

std::string Ser2net::Log() const {
  std::ifstream in(folder_ + "/ser2net.log");
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

bool LocalPortListening(uint16_t port) {
  char wanted[32];
  // The table prints the address as the raw 32-bit word in the host's order.
  std::snprintf(wanted, sizeof wanted, "%08X:%04X", static_cast<unsigned>(htonl(INADDR_LOOPBACK)), port);
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local == wanted && state == "0A") return true;  // 0A: listening
  }
  return false;
}
