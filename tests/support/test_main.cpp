// The main of the GoogleTest suites: every test starts from the process-wide
// state of a fresh process (no port open, the port layer not initialised, the
// discovery's list and source as at start), so that a suite also passes when
// it runs whole in one process. The user's state folder is the build's.

#include <gtest/gtest.h>

#include <cstdlib>

#include "discovery/com_port_list.h"
#include "ports/port_table.h"

namespace {

class ResetAfterEachTest : public ::testing::EmptyTestEventListener {
  void OnTestEnd(const ::testing::TestInfo&) override {
    PortLayerReset();
    DiscoveryReset();
  }
};

}  // namespace

int main(int argc, char** argv) {
  // Every journal a test or a program it starts writes by default lands in
  // the build's scratch folder, never in the user's home.
  setenv("XDG_STATE_HOME", RS485_TEST_STATE, 1);
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new ResetAfterEachTest);
  return RUN_ALL_TESTS();
}
