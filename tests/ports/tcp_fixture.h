#pragma once
// Shared frame of the TCP port tests: an initialised port layer with a running
// clock in a scratch folder, and bounded waits that keep servicing a port.

#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "platform/time.h"
#include "ports/ms_clock.h"
#include "ports/port_io.h"
#include "ports/port_table.h"
#include "ports/tcp.h"
#include "support/scratch_dir.h"
#include "support/tcp_peer.h"

class TcpPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A peer that goes away must not end the process, so SIGPIPE keeps its
    // deadly default here.
    signal(SIGPIPE, SIG_DFL);
    PortLayerInit();
    MsClockStart();
  }

  // The transport of an open TCP port, to look at its connection.
  static TcpClientPort& Client(PortId id) { return *static_cast<TcpClientPort*>(PortTable[id - 1].transport); }
  static TcpServerPort& Server(PortId id) { return *static_cast<TcpServerPort*>(PortTable[id - 1].transport); }

  // Services and pumps the port every millisecond until done() holds or
  // timeoutMs passes; returns done().
  static bool PumpUntil(PortId id, const std::function<bool()>& done, int timeoutMs = 3000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      PortAvailable(id);
      PlatformSleepMs(1);
    }
    return true;
  }

  // Accepts the port's connection on listener while servicing the port.
  static TcpFd AcceptWhilePumping(PortId id, int listener, int timeoutMs = 3000) {
    TcpFd peer;
    PumpUntil(id, [&] {
      if (TcpWaitReadable(listener, 0)) peer = TcpAcceptWithin(listener, 0);
      return peer.valid();
    }, timeoutMs);
    return peer;
  }

  static int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
  }

  ScratchDir dir;
};
