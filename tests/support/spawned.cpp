#include "support/spawned.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
}

Clock::time_point After(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }

// The environment with the given entries in place of those of the same name.
std::vector<std::string> Environment(const std::vector<std::string>& replacements) {
  std::vector<std::string> variables = replacements;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('=') + 1);
    bool replaced = false;
    for (const std::string& v : replacements) replaced |= v.substr(0, v.find('=') + 1) == name;
    if (!replaced) variables.push_back(entry);
  }
  return variables;
}

}  // namespace

Spawned::~Spawned() {
  if (pid_ > 0) {
    kill(ownGroup_ ? -pid_ : pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  CloseStreams();
}

bool Spawned::Start(const std::vector<std::string>& argv, const SpawnOptions& options) {
  out.clear();
  err.clear();
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};  // [0] read here, [1] the program's
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  if (options.stderrTerminal) {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = static_cast<unsigned short>(options.terminalColumns);
    if (openpty(&err[0], &err[1], nullptr, nullptr, options.terminalColumns > 0 ? &size : nullptr) != 0) return false;
    fcntl(err[0], F_SETFD, FD_CLOEXEC);
    fcntl(err[1], F_SETFD, FD_CLOEXEC);
  } else if (pipe2(err, O_CLOEXEC) != 0) {
    return false;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (options.stdoutKind == SpawnOptions::StdoutClosed) {
    posix_spawn_file_actions_addclose(&actions, 1);
  } else {
    if (options.stdoutKind == SpawnOptions::StdoutReaderGone) {
      close(out[0]);
      out[0] = -1;
    }
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  }
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> variables = Environment(options.env);
  std::vector<char*> envp;
  for (std::string& v : variables) envp.push_back(v.data());
  envp.push_back(nullptr);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (options.ownGroup) {
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  }
  ownGroup_ = options.ownGroup;
  const int spawned = posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  streams_[0] = out[0];
  streams_[1] = err[0];
  if (spawned != 0) {
    pid_ = -1;
    CloseStreams();
    return false;
  }
  return true;
}

std::string Spawned::ReadLine(int timeoutMs) {
  std::string line;
  const Clock::time_point deadline = After(timeoutMs);
  while (streams_[0] >= 0) {
    const int left = MsLeft(deadline);
    pollfd p{streams_[0], POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) <= 0) break;
    char c;
    if (read(streams_[0], &c, 1) != 1 || c == '\n') break;
    line += c;
  }
  return line;
}

bool Spawned::Collect(int timeoutMs) {
  const Clock::time_point deadline = After(timeoutMs);
  std::string* texts[2] = {&out, &err};
  while (streams_[0] >= 0 || streams_[1] >= 0) {
    const int left = MsLeft(deadline);
    if (left <= 0) return false;
    pollfd p[2] = {{streams_[0], POLLIN, 0}, {streams_[1], POLLIN, 0}};
    if (poll(p, 2, left) <= 0) continue;
    for (int k = 0; k < 2; ++k) {
      if (p[k].fd < 0 || p[k].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(p[k].fd, buffer, sizeof buffer);
      if (n > 0) {
        texts[k]->append(buffer, static_cast<size_t>(n));
      } else {
        // End of a pipe, or EIO from a pseudo-terminal whose other side is gone.
        close(streams_[k]);
        streams_[k] = -1;
      }
    }
  }
  return true;
}

int Spawned::Finish(int signal, int timeoutMs) {
  if (pid_ <= 0) return -1;
  const Clock::time_point deadline = After(timeoutMs);
  if (signal != 0) kill(ownGroup_ ? -pid_ : pid_, signal);
  Collect(timeoutMs);
  int status = 0;
  bool killed = false;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (MsLeft(deadline) <= 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      killed = true;
      break;
    }
    usleep(5000);
  }
  pid_ = -1;
  CloseStreams();
  return !killed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void Spawned::CloseStreams() {
  for (int& fd : streams_) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

ProgramRun RunToEnd(const std::vector<std::string>& argv, int timeoutMs, const SpawnOptions& options) {
  ProgramRun run;
  const Clock::time_point start = Clock::now();
  Spawned program;
  if (!program.Start(argv, options)) return run;
  run.exitCode = program.Finish(0, timeoutMs);
  run.out = std::move(program.out);
  run.err = std::move(program.err);
  run.elapsedMs = -MsLeft(start);
  return run;
}
