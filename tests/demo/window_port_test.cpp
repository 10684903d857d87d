// rs485setup --port rfc2217://… on a private Xvfb display, driven with
// xprobe: the window pointed at ser2net's RFC 2217 port in front of the
// simulated converter.

#include <termios.h>

#include <gtest/gtest.h>

#include <string>

#include "sim/sim_serve.h"
#include "support/scratch_dir.h"
#include "support/ser2net.h"
#include "support/spawned.h"

namespace {

TEST(WindowPort, StartedWithAnRfc2217PortChecksThroughIt) {
  ScratchDir dir;
  SimDevice sim;
  ASSERT_TRUE(sim.Ok());
  Ser2net relay(sim.Path(), Ser2netAccepter::Rfc2217, "9600n82");  // a line of its own, so the client's shows
  ASSERT_NE(relay.port(), 0) << relay.Log();
  Spawned xvfb, window;
  ASSERT_TRUE(xvfb.Start({"/bin/sh", "-c", "exec Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp"}));
  const SpawnOptions display{.env = {"DISPLAY=:" + xvfb.ReadLine(10000), "QT_QPA_PLATFORM=xcb"}};
  ASSERT_TRUE(window.Start({RS485SETUP, "--port", relay.PortName()}, display));
  ASSERT_EQ(RunToEnd({XPROBE, "wait", "Программа настройки", "30000"}, 30000, display).exitCode, 0);
  // "Проверить связь" reads the record; the window then keeps the port, and
  // the far line stays as a serial open sets it.
  ASSERT_EQ(RunToEnd({XPROBE, "click", "Программа настройки", "356", "44"}, 30000, display).exitCode, 0);
  ASSERT_TRUE(sim.Converter().WaitUntil([](const SimCounters& c) { return c.memoryReads >= 1; }, 10000));
  termios line{};
  ASSERT_EQ(tcgetattr(sim.Master(), &line), 0);
  EXPECT_EQ(cfgetospeed(&line), B4800);
  EXPECT_EQ(line.c_cflag & CSTOPB, 0u);
}

}  // namespace
