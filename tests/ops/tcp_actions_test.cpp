// The connection check, the settings write and the firmware update as the
// window runs them, over TCP ports whose connection is not there yet when the
// port opens: a server port the converter's side reaches a little later, and
// a client port whose connection takes a while, as over a real network.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ops/firmware_upload.h"
#include "ops/settings.h"
#include "ports/ms_clock.h"
#include "sim/sim_serve.h"
#include "sim/sim_tcp.h"
#include "support/scratch_dir.h"
#include "support/tcp_peer.h"

namespace {

using Clock = std::chrono::steady_clock;

SimSettings AsSim(const DeviceSettings& s) {
  SimSettings bytes{};
  std::memcpy(bytes.data(), &s, bytes.size());
  return bytes;
}

class TcpActions : public ::testing::Test {
 protected:
  void SetUp() override {
    PortLayerInit();
    MsClockStart();
  }

  // A server port on a picked port with the converter's side trying to reach
  // it every 200 ms, started before the port opens. A busy port is replaced.
  bool CheckOnServerPort(DeviceSettings& settings) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      port = TcpPickPort();
      sim = std::make_unique<SimTcpConnector>(converter, "127.0.0.1", port, 200);
      name = "TCPS_" + std::to_string(port);
      const SettingsResult result = SettingsCheck(name.c_str(), id, settings);
      if (result != SettingsPortOpenFailed) return result == SettingsOk;
    }
    return false;
  }

  ScratchDir dir;
  SimConverter converter;
  std::unique_ptr<SimTcpConnector> sim;
  uint16_t port = 0;
  std::string name;
  PortId id = 0;
};

TEST_F(TcpActions, CheckAndWriteOnAServerPortTheConverterReachesLater) {
  DeviceSettings settings{};
  ASSERT_TRUE(CheckOnServerPort(settings));
  EXPECT_EQ(AsSim(settings), SimDefaultSettings);
  settings.DataBits = 7;
  ASSERT_EQ(SettingsWrite(id, settings), SettingsOk);
  EXPECT_EQ(converter.Settings(), AsSim(settings));

  // Every check opens the port anew; the converter's side comes back to it.
  PortClose(id);
  DeviceSettings again{};
  ASSERT_EQ(SettingsCheck(name.c_str(), id, again), SettingsOk);
  EXPECT_EQ(AsSim(again), AsSim(settings));
}

TEST_F(TcpActions, FirmwareUpdateOnAServerPortSurvivesTheReopening) {
  DeviceSettings settings{};
  ASSERT_TRUE(CheckOnServerPort(settings));
  std::vector<char> image(3 * FirmwareRecordData);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i % 0x5F);
  std::ofstream(dir.path() + "/image.bin", std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));

  UploadHooks hooks;
  hooks.reopenDelayMs = 50;
  hooks.finishDelayMs = 0;
  const UploadReport report = FirmwareUpload(name.c_str(), id, (dir.path() + "/image.bin").c_str(), hooks);
  EXPECT_EQ(report.result, UploadDone);
  EXPECT_EQ(report.recordsSent, 3u);
  ASSERT_TRUE(converter.WaitUntil([](const SimCounters& c) { return c.updateLeaves >= 1; }, 3000));
  const std::vector<uint8_t> received = converter.Snapshot().image;
  EXPECT_EQ(received, std::vector<uint8_t>(image.begin(), image.end()));
}

TEST_F(TcpActions, CheckOnAClientPortWhoseConnectionTakesAWhile) {
  // A listener whose accept queue is full drops the first connection request;
  // the client's system repeats it about a second later.
  TcpFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof at;
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(listen(listener.get(), 0), 0);
  ASSERT_EQ(getsockname(listener.get(), reinterpret_cast<sockaddr*>(&at), &size), 0);
  const uint16_t port = ntohs(at.sin_port);
  TcpFd filler = TcpConnectLocal(port);
  ASSERT_TRUE(filler.valid());

  int stop[2];
  ASSERT_EQ(pipe(stop), 0);
  const auto start = Clock::now();
  std::atomic<int64_t> acceptedAfterMs{-1};
  std::thread far([&] {
    usleep(100 * 1000);
    TcpFd first = TcpAcceptWithin(listener.get(), 1000);  // the filler; the queue has room again
    TcpFd client = TcpAcceptWithin(listener.get(), 5000);
    acceptedAfterMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    if (client.valid()) SimServe(client.get(), converter, stop[0]);
  });

  DeviceSettings settings{};
  const std::string name = "TCPC_127.0.0.1:" + std::to_string(port);
  EXPECT_EQ(SettingsCheck(name.c_str(), id, settings), SettingsOk);
  EXPECT_EQ(AsSim(settings), SimDefaultSettings);
  EXPECT_GE(acceptedAfterMs, 300) << "the connection was not slow; the case was not tried";
  PortClose(id);
  ASSERT_EQ(write(stop[1], "x", 1), 1);
  far.join();
  close(stop[0]);
  close(stop[1]);
}

}  // namespace
