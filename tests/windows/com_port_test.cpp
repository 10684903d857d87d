// A COM port as the port layer opens it: the line state the converter needs
// and the exclusive open. The line is COM21 of the test bed's null-modem pair;
// COM23 is a device that is no serial line.

#include <gtest/gtest.h>

#include <cerrno>

#include "ops/messages.h"
#include "ops/port_open.h"
#include "ports/ms_clock.h"
#include "ports/port_table.h"
#include "ports/port_transport.h"
#include "wine.h"

namespace {

class ComPort : public ::testing::Test {
 protected:
  void SetUp() override {
    PortLayerInit();
    MsClockStart();
    ASSERT_EQ(PortOpen(id, "COM21"), 0);
  }
  void TearDown() override { PortClose(id); }

  PortId id = 0;
};

TEST_F(ComPort, OpensWithTheConverterLineState) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(LongToHandle(PortTable[id - 1].transport->Handle()), &dcb));
  EXPECT_EQ(dcb.BaudRate, 4800u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.fBinary, 1u);
  EXPECT_EQ(dcb.fOutxCtsFlow | dcb.fOutxDsrFlow | dcb.fOutX | dcb.fInX, 0u);
  // A pseudo-terminal has no modem lines, and Wine then reads both back as
  // enabled; only a real port can show them held inactive.
  if (!UnderWine()) {
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
  }

  COMMTIMEOUTS t{};
  ASSERT_TRUE(GetCommTimeouts(LongToHandle(PortTable[id - 1].transport->Handle()), &t));
  EXPECT_EQ(t.ReadIntervalTimeout, 2u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 2u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 2u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 20u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 20u);
}

TEST_F(ComPort, MissingPortIsAnOpenFailure) {
  PortId other = 9;
  EXPECT_EQ(PortOpen(other, "COM98"), ENOENT);
  EXPECT_EQ(other, 0);
}

// The reason is the system's own code and wording, not an errno's.
TEST_F(ComPort, ADeviceThatRefusesTheSettingsIsToldInTheSystemsWords) {
  PortId other = 9;
  EXPECT_NE(PortOpen(other, "COM23"), 0);
  EXPECT_EQ(PortFailureReason(PortLastFailure()), "Системная ошибка 50: Request not supported.");
}

TEST_F(ComPort, SecondOpenerIsBusy) {
  PortId second = 9;
  const int result = PortOpen(second, "COM21");
  if (result == 0 && UnderWine()) {
    PortClose(second);
    GTEST_SKIP() << "Wine admits a second open of a COM port; Windows refuses it (sharing violation)";
  }
  EXPECT_EQ(result, EBUSY);
  EXPECT_EQ(second, 0);
}

}  // namespace
