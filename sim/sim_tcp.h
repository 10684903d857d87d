#pragma once
// The simulated converter over TCP, the way a converter behind a serial-to-TCP
// server is reached: listening for the utility's client port
// ("TCPC_a.b.c.d:port"), or connecting to its server port ("TCPS_port").
// One converter serves every connection in turn and keeps its state across
// them, as a converter on a line keeps its own whoever is connected.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "sim/sim_converter.h"
#include "sim/sim_thread.h"

// What the serving loops report while they run; read from any thread.
struct SimTcpStatus {
  std::atomic<uint32_t> connections{0};  // connections taken so far
  std::atomic<bool> connected{false};    // one is being served now
  FILE* log = nullptr;                   // connection events with a timestamp; nullptr: none
};

// "a.b.c.d:port" for an address in network byte order.
std::string SimTcpFormat(uint32_t address, uint16_t port);

// An IPv4 address from dotted text or a host name ("localhost"); 0 or an
// errno value (EINVAL: no IPv4 address for that name).
int SimTcpResolve(const std::string& host, uint32_t* address);

// A listening socket on address:port (port 0: the system chooses) that may
// take the port again while old connections linger. 0 or an errno value.
int SimTcpListenOpen(uint32_t address, uint16_t port, int* listener, uint16_t* boundPort);

// Serves the converter to the connections that arrive on listener, one at a
// time. A new connection takes over from the one being served, which is
// closed: a client that lost its connection without the other side noticing
// must not be locked out. Runs until stopFd becomes readable (SimServeStopped)
// or the listener fails (SimServeFailed). Does not close listener.
int SimTcpListenServe(int listener, SimConverter& converter, int stopFd, SimTcpStatus* status);

// Connects to address:port and serves the converter on the connection; tries
// again every retryMs while nobody listens and after a connection ended.
// Runs until stopFd becomes readable; returns SimServeStopped.
int SimTcpConnectServe(uint32_t address, uint16_t port, SimConverter& converter, int stopFd, int retryMs,
                       SimTcpStatus* status);

// One of the loops above on a thread, with its stop switch.
class SimTcpThread {
 public:
  SimTcpThread() = default;
  ~SimTcpThread() { Stop(); }
  SimTcpThread(const SimTcpThread&) = delete;
  SimTcpThread& operator=(const SimTcpThread&) = delete;

  uint32_t Connections() const { return status_.connections; }
  bool Connected() const { return status_.connected; }
  // Waits at most timeoutMs until at least count connections were taken.
  bool WaitConnections(uint32_t count, int timeoutMs) const;
  void Stop() { thread_.Stop(); }  // ends the loop and joins the thread; later calls do nothing

 protected:
  // Runs loop(stopFd, status) on the thread; false when it could not start.
  bool Start(std::function<void(int, SimTcpStatus*)> loop) {
    return thread_.Start([this, loop = std::move(loop)](int stopFd) { loop(stopFd, &status_); });
  }
  SimTcpStatus status_;

 private:
  SimStoppableThread thread_;
};

// A simulated converter listening on TCP, served on a thread until Stop or
// the destructor; Stop also closes the listening socket. The converter stays
// the caller's, so a listener started later on the same port goes on with it.
//   SimConverter converter;
//   SimTcpListener sim(converter);          // 127.0.0.1, a port of the system's choice
//   PortOpen(id, sim.PortName().c_str());   // "TCPC_127.0.0.1:<port>"
class SimTcpListener : public SimTcpThread {
 public:
  explicit SimTcpListener(SimConverter& converter, uint16_t port = 0, const std::string& bindAddress = "127.0.0.1");

  bool Ok() const { return ok_; }
  int Error() const { return error_; }  // errno of a failed start (EADDRINUSE: the port is taken)
  uint16_t Port() const { return port_; }
  std::string Address() const;   // "127.0.0.1:4001"
  std::string PortName() const;  // "TCPC_127.0.0.1:4001", as PortOpen takes it

 private:
  bool ok_ = false;
  int error_ = 0;
  uint32_t address_ = 0;
  uint16_t port_ = 0;
};

// A simulated converter that connects to a TCP server port (the utility's
// "TCPS_port") and reconnects whenever the connection ends, on a thread until
// Stop or the destructor.
class SimTcpConnector : public SimTcpThread {
 public:
  SimTcpConnector(SimConverter& converter, const std::string& address, uint16_t port, int retryMs = 50);

  bool Ok() const { return ok_; }

 private:
  bool ok_ = false;
};
