// The machine's own /sys: the list builds and keeps its invariants.

#include <gtest/gtest.h>

#include <cstring>

#include "discovery/com_port_list.h"
#include "discovery/device_locator.h"
#include "platform/serial_ports.h"

TEST(RealSys, ListBuildsAndSearchEnds) {
  ASSERT_STREQ(SerialPortsFrom.sysRoot, "/sys");
  ComPortListBuild();
  ASSERT_GE(ComPortList.count, 0);
  ASSERT_LE(ComPortList.count, ComPortListSize);
  for (int32_t k = 0; k < ComPortList.count; ++k) {
    EXPECT_GT(std::strlen(ComPortList.names[k]), 0u);
    EXPECT_LT(strnlen(ComPortList.names[k], ComPortNameSize), static_cast<size_t>(ComPortNameSize));
    const char* name = ComPortList.names[k];
    EXPECT_FALSE(std::strncmp(name, "tty", 3) == 0 && std::strspn(name + 3, "0123456789") == std::strlen(name + 3))
        << "a virtual console was listed: " << name;
    if (k > 0) {
      ComPortSetPivot(k);
      EXPECT_LE(ComPortCompare(k - 1), 0) << ComPortList.names[k - 1] << " before " << ComPortList.names[k];
    }
  }
  char port[ComPortNameSize];
  const int found = LocateDevicePort(port, sizeof port);
  EXPECT_EQ(found == 1, port[0] != '\0');
  RecordProperty("ports", ComPortList.count);
}
