// rs485ctl doctor in a umockdev testbed (run under umockdev-wrapper by
// ctl_testbed_test, inside ctl_testbed_probe): the converter plugged in, its
// port held by another program, a user who may not open it, and no converter.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "ctl_fixture.h"
#include "sim/converter_testbed.h"
#include "sim/sim_serve.h"
#include "support/child_process.h"
#include "support/scratch_dir.h"
#include "support/spawned.h"

namespace {

// True once the process has its descriptor 3 open, at most 5 s.
bool HoldsDescriptor3(pid_t pid) {
  const std::string fd = "/proc/" + std::to_string(pid) + "/fd/3";
  for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
       std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(std::chrono::milliseconds(5)))
    if (std::filesystem::exists(fd)) return true;
  return false;
}

TEST(CtlInTestbed, DoctorTellsWhatKeepsTheConverterFromBeingUsed) {
  ScratchDir scratch;
  UMockdevTestbed* testbed = TestbedCreate();
  ASSERT_NE(testbed, nullptr);
  SimConverter converter;
  SimServer server(converter, TestbedAddConverter(testbed), SimServeTerminal);
  Spawned holder;
  std::string held;  // "sleep (PID n)", once it holds the port
  const std::string dialout = "dialout", nothing;

  const struct {
    const char* what;
    std::function<void()> setUp;
    bool unprivileged;
    std::map<std::string, std::string> verdicts;  // every check but the machine's udev rule and ModemManager
    const std::string& told;  // what a failed check names, in part
  } cases[] = {
      {"the converter", [] {}, false,
       {{"converter", "ok"}, {"access", "ok"}, {"holder", "ok"}, {"port", "ok"}, {"answer", "ok"}}, nothing},
      {"its port held by another program",
       [&] {
         ASSERT_TRUE(holder.Start({"/bin/sh", "-c", "exec sleep 60 3<>/dev/ttyACM0"}));
         ASSERT_TRUE(HoldsDescriptor3(holder.pid()));
         held = "sleep (PID " + std::to_string(holder.pid()) + ")";
       },
       false, {{"converter", "ok"}, {"access", "ok"}, {"holder", "failed"}}, held},
      {"a user outside the node's group",
       [&] {
         holder.Finish(SIGKILL, 5000);
         // The node as the system makes it (root:dialout 0660), seen by an
         // unprivileged user through the testbed.
         const std::string root = std::getenv("UMOCKDEV_DIR");
         ASSERT_EQ(chmod(root.c_str(), 0755), 0);
         const std::string pty = std::filesystem::read_symlink(root + "/dev/ttyACM0");
         ASSERT_EQ(chown(pty.c_str(), 0, 20), 0);
         ASSERT_EQ(chmod(pty.c_str(), 0660), 0);
       },
       true, {{"converter", "ok"}, {"access", "failed"}}, dialout},
      {"no converter", [&] { TestbedRemoveUsb(testbed, "1-1"); }, false, {{"converter", "failed"}}, nothing},
  };
  for (const auto& c : cases) {
    c.setUp();
    const uint32_t heard = converter.Counters().bytesReceived;
    std::vector<std::string> argv = {CtlPath(), "--json", "doctor"};
    if (c.unprivileged) {
      const std::string setpriv = FindProgram("setpriv");
      if (setpriv.empty()) {
        std::printf("skipped %s: setpriv (util-linux) is missing\n", c.what);
        continue;
      }
      argv.insert(argv.begin(), {setpriv, "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
    }
    const CtlRun run = RunProgram(argv);
    Json report;
    ASSERT_TRUE(OneJsonObject(run.out, report)) << c.what << "\n" << Describe(run);
    for (const Json& check : report["checks"].items)  // what to do, where something is to be done
      EXPECT_EQ(check["advice"].kind == Json::Null, check["verdict"].text == "ok") << c.what << "\n" << run.out;
    std::map<std::string, std::string> verdicts = DoctorVerdicts(report);
    int worst = 0;
    for (const auto& [name, verdict] : verdicts) worst = std::max(worst, verdict == "failed" ? 3 : verdict == "warning");
    EXPECT_EQ(run.exitCode, worst) << c.what << "\n" << Describe(run);
    verdicts.erase("udev_rule");
    verdicts.erase("modemmanager");
    EXPECT_EQ(verdicts, c.verdicts) << c.what << "\n" << run.out;
    EXPECT_NE(run.out.find(c.told), std::string::npos) << c.what << "\n" << run.out;
    EXPECT_TRUE(!c.unprivileged || converter.Counters().bytesReceived == heard) << "a port it may not open was opened";
  }
  TestbedDestroy(testbed);
}

}  // namespace
