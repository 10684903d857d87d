#include "run_ctl.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int MsSince(Clock::time_point start) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

}  // namespace

CtlRun RunProgram(const std::vector<std::string>& argv, const CtlRunOptions& options) {
  CtlRun run;
  const Clock::time_point start = Clock::now();
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};  // [0] read by the test, [1] the child's standard error
  if (pipe2(out, O_CLOEXEC) != 0) return run;
  if (options.stderrTerminal) {
    if (openpty(&err[0], &err[1], nullptr, nullptr, nullptr) != 0) return run;
    fcntl(err[0], F_SETFD, FD_CLOEXEC);
    fcntl(err[1], F_SETFD, FD_CLOEXEC);
  } else if (pipe2(err, O_CLOEXEC) != 0) {
    return run;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  if (spawned != 0) {
    close(out[0]);
    close(err[0]);
    return run;
  }

  // Both streams are read to their end (a pseudo-terminal's master reads EIO
  // once the child is gone), so neither can fill up and stall the child.
  pollfd streams[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* texts[2] = {&run.out, &run.err};
  bool killed = false;
  int ended = 0;
  while (ended < 2) {
    const int left = options.timeoutMs - MsSince(start);
    if (left <= 0) {
      kill(pid, SIGKILL);
      killed = true;
      break;
    }
    if (poll(streams, 2, left) <= 0) continue;
    for (int k = 0; k < 2; ++k) {
      if (streams[k].fd < 0 || streams[k].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(streams[k].fd, buffer, sizeof buffer);
      if (n > 0) {
        texts[k]->append(buffer, static_cast<size_t>(n));
      } else {
        close(streams[k].fd);
        streams[k].fd = -1;
        ++ended;
      }
    }
  }
  for (const pollfd& stream : streams)
    if (stream.fd >= 0) close(stream.fd);
  int status = 0;
  waitpid(pid, &status, 0);
  run.elapsedMs = MsSince(start);
  if (!killed && WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  return run;
}

CtlRun RunCtl(const std::vector<std::string>& arguments, const CtlRunOptions& options) {
  std::vector<std::string> argv = {RS485CTL_PATH};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return RunProgram(argv, options);
}

std::string CtlCommandLine(const std::vector<std::string>& arguments) {
  std::string line = "rs485ctl";
  for (const std::string& a : arguments) line += " " + a;
  return line;
}
