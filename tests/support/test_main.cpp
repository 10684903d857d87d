// The main of the GoogleTest suites: every test starts from the process-wide
// state of a fresh process (no port open, the port layer not initialised, the
// discovery's list and source as at start), so that a suite also passes when
// it runs whole in one process.

#include <gtest/gtest.h>

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
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new ResetAfterEachTest);
  return RUN_ALL_TESTS();
}
