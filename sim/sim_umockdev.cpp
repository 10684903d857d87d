#include "sim/sim_umockdev.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_serve.h"

#ifdef RS485_SIM_UMOCKDEV
#include "sim/converter_testbed.h"
#endif

extern char** environ;

namespace {

[[maybe_unused]] constexpr const char* kReexecMark = "RS485SIM_REEXEC";
[[maybe_unused]] constexpr int kKillAfterMs = 5000;    // patience with a program asked to end
[[maybe_unused]] constexpr int kWaitPollMs = 100;      // without a pidfd, how often the program is looked at

#ifdef RS485_SIM_UMOCKDEV

int ExitStatusOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

// Starts program with the signals this process ignores set back to default.
pid_t StartProgram(char** program) {
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int error = posix_spawnp(&pid, program[0], nullptr, &attributes, program, environ);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    std::fprintf(stderr, "rs485sim: cannot start %s: %s\n", program[0], std::strerror(error));
    return -1;
  }
  return pid;
}

// Waits for the program's end; a byte on stopFd asks it to end, and after
// kKillAfterMs it is killed. Returns its wait status.
int WaitForProgram(pid_t pid, int stopFd) {
  const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  bool asked = false;
  int64_t killAtUs = 0;
  for (;;) {
    int status = 0;
    if (pidFd < 0 || asked) {
      const pid_t done = waitpid(pid, &status, WNOHANG);
      if (done == pid || (done < 0 && errno == ECHILD)) {
        if (pidFd >= 0) close(pidFd);
        return done == pid ? status : 0;
      }
    }
    if (asked && SimNowUs() >= killAtUs) {
      kill(pid, SIGKILL);
      killAtUs = INT64_MAX;
    }
    pollfd p[2] = {{stopFd, POLLIN, 0}, {pidFd, POLLIN, 0}};
    const int count = pidFd >= 0 ? 2 : 1;
    const int timeoutMs = pidFd >= 0 && !asked ? -1 : kWaitPollMs;
    if (poll(p, count, timeoutMs) < 0 && errno != EINTR) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      if (pidFd >= 0) close(pidFd);
      return status;
    }
    if ((p[0].revents & POLLIN) != 0) {
      char drain[16];
      while (read(stopFd, drain, sizeof drain) > 0) {
      }
      if (!asked) {
        asked = true;
        killAtUs = SimNowUs() + static_cast<int64_t>(kKillAfterMs) * 1000;
        kill(pid, SIGTERM);
      }
    }
    if (count == 2 && (p[1].revents & POLLIN) != 0) {
      waitpid(pid, &status, 0);
      close(pidFd);
      return status;
    }
  }
}

#endif  // RS485_SIM_UMOCKDEV

}  // namespace

#ifdef RS485_SIM_UMOCKDEV

int SimUmockdevEnsureWrapper(char** argv) {
  if (TestbedUnderWrapper()) return 0;
  if (std::getenv(kReexecMark) != nullptr) {
    std::fprintf(stderr, "rs485sim: umockdev-wrapper ran, but umockdev's preload library is not active\n");
    return 1;
  }
  setenv(kReexecMark, "1", 1);
  errno = TestbedRunUnderWrapper(argv);
  std::fprintf(stderr,
               "rs485sim: --umockdev needs umockdev-wrapper (Debian package umockdev), which cannot be started: %s\n",
               std::strerror(errno));
  return 1;
}

int SimUmockdevRun(SimConverter& converter, int count, char** program, int stopFd, bool verbose) {
  unsetenv(kReexecMark);  // a program that starts rs485sim again gets its own chance
  UMockdevTestbed* testbed = TestbedCreate();
  std::vector<std::unique_ptr<SimConverter>> others;  // outlive the rack that serves them
  int status = 1;
  {
    TestbedConverters rack(testbed);
    bool plugged = testbed != nullptr;
    for (int k = 0; k < count && plugged; ++k) {
      SimConverter* served = &converter;
      if (k > 0) {
        others.push_back(std::make_unique<SimConverter>());
        served = others.back().get();
        served->SetFaults(converter.Faults());
        served->SetLineRate(converter.LineRate());
        if (verbose) served->SetLog(stderr);
      }
      // One converter is the demo's, straight on the root hub as it always was.
      const std::string tty = "ttyACM" + std::to_string(k);
      const std::string place = count == 1 ? "1-1" : "1-1." + std::to_string(k + 1);
      char serial[16];
      std::snprintf(serial, sizeof serial, "SIM%04d", k + 1);
      plugged = rack.Plug(*served, place.c_str(), tty.c_str(), count == 1 ? nullptr : serial);
      if (plugged && verbose)
        std::fprintf(stderr, "rs485sim: a converter is USB 16C0:4E04 at %s on /dev/%s in a umockdev testbed\n",
                     place.c_str(), tty.c_str());
    }
    if (!plugged) {
      std::fprintf(stderr, "rs485sim: cannot build the umockdev testbed with the converter\n");
    } else {
      const pid_t pid = StartProgram(program);
      status = pid > 0 ? ExitStatusOf(WaitForProgram(pid, stopFd)) : 127;
    }
  }
  TestbedDestroy(testbed);
  const int error = converter.SaveFiles();
  if (error != 0) {
    std::fprintf(stderr, "rs485sim: saving files: %s\n", std::strerror(error));
    return status == 0 ? 1 : status;
  }
  return status;
}

#else

int SimUmockdevEnsureWrapper(char**) {
  std::fprintf(stderr, "rs485sim: built without umockdev; install libumockdev-dev and build again for --umockdev\n");
  return 1;
}

int SimUmockdevRun(SimConverter&, int, char**, int, bool) { return 1; }

#endif
