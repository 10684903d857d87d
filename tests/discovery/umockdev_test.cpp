// The discovery in a umockdev testbed: runs testbed_probe under
// umockdev-wrapper, one probe case per test.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/time.h"

namespace {

constexpr const char* kProbe = RS485_TESTBED_PROBE;

bool InPath(const char* program) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    const size_t end = dirs.find(':', start);
    const std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return false;
}

struct Outcome {
  int status = -1;  // exit code, or -1 when it did not exit by itself
  std::string output;
};

// Runs the probe under the wrapper with one gtest filter, collecting stdout and
// stderr; killed after 60 seconds.
Outcome RunProbe(const std::string& filter) {
  Outcome outcome;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return outcome;
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipeFds[1], 1);
    dup2(pipeFds[1], 2);
    // The sanitizer runtime would insist on coming before umockdev's preload library.
    std::string asan = "verify_asan_link_order=0";
    if (const char* old = std::getenv("ASAN_OPTIONS")) asan = std::string(old) + ":" + asan;
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
    const std::string filterArg = "--gtest_filter=" + filter;
    execlp("umockdev-wrapper", "umockdev-wrapper", kProbe, filterArg.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipeFds[1]);
  const uint32_t deadline = PlatformTickMs() + 60000;
  for (;;) {
    const int32_t left = static_cast<int32_t>(deadline - PlatformTickMs());
    if (left <= 0) {
      kill(child, SIGKILL);
      outcome.output += "\n[killed after 60 s]";
      break;
    }
    pollfd p{pipeFds[0], POLLIN, 0};
    if (poll(&p, 1, left) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    outcome.output.append(buffer, static_cast<size_t>(n));
  }
  close(pipeFds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
  return outcome;
}

void Probe(const std::string& filter) {
  if (std::string(kProbe).empty()) GTEST_SKIP() << "built without libumockdev-dev: no testbed probe";
  if (!InPath("umockdev-wrapper")) GTEST_SKIP() << "umockdev-wrapper is not installed (Debian package umockdev)";
  const Outcome outcome = RunProbe(filter);
  if (outcome.status == 77) GTEST_SKIP() << "umockdev cannot run here: " << outcome.output;
  EXPECT_EQ(outcome.status, 0) << outcome.output;
  EXPECT_NE(outcome.output.find("[  PASSED  ] 1 test"), std::string::npos) << outcome.output;
}

}  // namespace

TEST(Umockdev, FindsTheConverterAndListsTheOthers) { Probe("Testbed.FindsTheConverterAndListsTheOthers"); }

TEST(Umockdev, IgnoresOtherVendorsAndFollowsPlugging) { Probe("Testbed.IgnoresOtherVendorsAndFollowsPlugging"); }

TEST(Umockdev, ThePortLayerOpensTheMockedTty) { Probe("Testbed.ThePortLayerOpensTheMockedTty"); }

TEST(Umockdev, AProgramStartedFromTheTestbedOpensTheConverter) {
  Probe("Testbed.AProgramStartedFromTheTestbedOpensTheConverter");
}
