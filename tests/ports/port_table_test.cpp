#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ports/port_io.h"
#include "ports/port_table.h"
#include "support/scratch_dir.h"

namespace {

const std::vector<uint8_t> kBanner = {0x0D, 0x0A, 0x82, 0xE5, 0xAE, 0xA4, 0x20, 0xA2, 0x20, 0xAF,
                                      0xE0, 0xAE, 0xA3, 0xE0, 0xA0, 0xAC, 0xAC, 0xE3, 0x0D, 0x0A};

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(PortTable, OpenBeforeInitIsRefused) {
  PortId id = 77;
  EXPECT_EQ(PortOpen(id, "STUB"), PortOpenNotInitialised);
  EXPECT_EQ(id, 77);
  for (const PortSlot& slot : PortTable) EXPECT_EQ(slot.open, 0);
}

TEST(PortTable, InitAppendsOneBannerAndRunsOnce) {
  ScratchDir dir;
  { std::ofstream("port.out", std::ios::binary) << "earlier"; }
  PortLayerInit();
  PortId id = 0;
  ASSERT_EQ(PortOpen(id, "STUB"), 0);
  PortLayerInit();  // neither clears the table nor writes a second banner
  EXPECT_EQ(PortTable[0].open, 1);

  std::vector<uint8_t> expected = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
  expected.insert(expected.end(), kBanner.begin(), kBanner.end());
  EXPECT_EQ(ReadFile("port.out"), expected);
}

TEST(PortTable, UnwritableLogStillInitialises) {
  ScratchDir dir;
  std::filesystem::create_directory("port.out");  // cannot be opened as a file
  PortLayerInit();
  PortId id = 0;
  EXPECT_EQ(PortOpen(id, "STUB"), 0);
}

TEST(PortTable, SlotsFillFromTheLowestFreeAndRunOutAtThirtyTwo) {
  ScratchDir dir;
  PortLayerInit();
  PortId ids[PortSlotCount] = {};
  for (int i = 0; i < PortSlotCount; ++i) {
    ASSERT_EQ(PortOpen(ids[i], "STUB"), 0);
    EXPECT_EQ(ids[i], i + 1);
    EXPECT_EQ(PortTable[i].kind, KindStub);
  }
  PortId extra = 55;
  EXPECT_EQ(PortOpen(extra, "STUB"), PortOpenNoFreeSlot);
  EXPECT_EQ(PortOpen(extra, ""), PortOpenNoFreeSlot);  // the slot search comes first
  EXPECT_EQ(extra, 55);

  PortClose(ids[1]);
  PortClose(ids[20]);
  PortId again = 0;
  ASSERT_EQ(PortOpen(again, "STUB"), 0);
  EXPECT_EQ(again, 2);
  ASSERT_EQ(PortOpen(again, "STUB"), 0);
  EXPECT_EQ(again, 21);
}

TEST(PortTable, NamesThatCannotOpen) {
  ScratchDir dir;
  PortLayerInit();
  PortId id = 42;
  EXPECT_EQ(PortOpen(id, ""), PortOpenEmptyName);
  EXPECT_EQ(id, 42);

  // Only the exact upper-case word is a stub; anything else names a device.
  EXPECT_EQ(PortOpen(id, "stub"), ENOENT);
  EXPECT_EQ(id, 0);
  id = 42;
  EXPECT_EQ(PortOpen(id, "STUB1"), ENOENT);
  EXPECT_EQ(PortOpen(id, "tcps_4001"), ENOENT);
  EXPECT_EQ(PortOpen(id, "no-such-tty"), ENOENT);
  EXPECT_EQ(id, 0);

  // A client name without ':' has no server to reach; a server name takes a
  // decimal port 1-65535 and nothing else, rather than some other port.
  for (const char* name : {"TCPC_127.0.0.1", "TCPS_", "TCPS_0", "TCPS_99999", "TCPS_65536", "TCPS_abc", "TCPS_4001x",
                           "TCPS_04001", "TCPS_+4001", "TCPS_ 4001", "TCPS_-1"}) {
    id = 42;
    EXPECT_EQ(PortOpen(id, name), PortOpenTcpFailed) << name;
    EXPECT_EQ(PortLastFailure().kind, PortFailBadName) << name;
    EXPECT_EQ(id, 42);
  }

  // A name that does not fit the slot is refused whole, not cut.
  const std::string longName(PortNameSize, 'S');
  id = 42;
  EXPECT_EQ(PortOpen(id, longName.c_str()), ENAMETOOLONG);
  EXPECT_EQ(id, 0);
  EXPECT_EQ(PortOpen(id, longName.substr(0, PortNameSize - 1).c_str()), ENOENT);

  // A regular file is not a serial device.
  { std::ofstream("plain-file") << "x"; }
  const std::string file = dir.path() + "/plain-file";
  EXPECT_EQ(PortOpen(id, file.c_str()), ENOTTY);

  for (const PortSlot& slot : PortTable) EXPECT_EQ(slot.open, 0);
}

TEST(PortTable, CloseIsAlwaysOneAndHarmless) {
  ScratchDir dir;
  PortLayerInit();
  EXPECT_EQ(PortClose(0), 1);
  EXPECT_EQ(PortClose(5), 1);
  EXPECT_EQ(PortClose(PortSlotCount + 1), 1);
  PortId id = 0;
  ASSERT_EQ(PortOpen(id, "STUB"), 0);
  EXPECT_EQ(PortClose(id), 1);
  EXPECT_EQ(PortTable[0].open, 0);
  EXPECT_EQ(PortTable[0].rx.storage, nullptr);
  EXPECT_EQ(PortClose(id), 1);
}

TEST(PortIo, StubAndMissingPortsDeliverNothing) {
  ScratchDir dir;
  PortLayerInit();
  PortId stub = 0;
  ASSERT_EQ(PortOpen(stub, "STUB"), 0);
  const uint8_t out[3] = {1, 2, 3};
  uint8_t in[3] = {};
  for (PortId id : {stub, PortId{0}, PortId{9}, PortId{PortSlotCount + 1}}) {
    PortWrite(id, out, sizeof out);
    PortFlushInput(id);
    EXPECT_EQ(PortAvailable(id), 0);
    EXPECT_EQ(PortReadExact(id, in, 1), 0);
    EXPECT_EQ(PortRead(id, in, 3, 50), 0);
    EXPECT_EQ(PortReadByte(id, in, 50), -1);
  }
}

}  // namespace
