#include "platform/process.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

std::string PlatformSelfPath() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

std::string PlatformProgramBeside(const std::string& name) {
  const std::string self = PlatformSelfPath();
  return self.empty() ? self : self.substr(0, self.rfind('/') + 1) + name;
}

int PlatformChildStart(const std::string& program, const std::vector<std::string>& arguments, PlatformChild& child) {
  // Close-on-exec: a worker started later must not hold another's ends, or
  // closing a stop channel here would not end it.
  int ends[2];
  int input[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return errno;
  if (pipe2(input, O_CLOEXEC) != 0) {
    const int error = errno;
    close(ends[0]);
    close(ends[1]);
    return error;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  // No new process group: the terminal's Ctrl+C is to reach the worker too.
  pid_t pid = -1;
  const int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(ends[1]);
  close(input[0]);
  if (error != 0) {
    close(ends[0]);
    close(input[1]);
    return error;
  }
  fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK);
  child.process = pid;
  child.output = ends[0];
  child.input = input[1];
  return 0;
}

void PlatformChildStop(PlatformChild& child) {
  if (child.input < 0) return;
  close(static_cast<int>(child.input));
  child.input = -1;
}

void PlatformChildKill(PlatformChild& child) {
  if (child.process >= 0) kill(static_cast<pid_t>(child.process), SIGKILL);
}

int PlatformChildRead(PlatformChild& child, std::string& text) {
  if (child.output < 0) return -1;
  char buffer[4096];
  bool got = false;
  for (;;) {
    const ssize_t n = read(static_cast<int>(child.output), buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
      got = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return got ? 1 : 0;
    close(static_cast<int>(child.output));
    child.output = -1;
    return got ? 1 : -1;
  }
}

bool PlatformChildEnded(PlatformChild& child, int& exitCode) {
  if (child.process < 0) return true;
  int status = 0;
  const pid_t done = waitpid(static_cast<pid_t>(child.process), &status, WNOHANG);
  if (done == 0 || (done < 0 && errno == EINTR)) return false;
  exitCode = done < 0 ? 127 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  child.process = -1;
  PlatformChildStop(child);
  return true;
}
