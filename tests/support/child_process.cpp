#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& logPath) {
  Stop();
  if (argv.empty()) return false;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log < 0) return false;

  const pid_t pid = fork();
  if (pid < 0) {
    close(log);
    return false;
  }
  if (pid == 0) {
    // Only async-signal-safe calls from here on.
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, 0);
    dup2(log, 1);
    dup2(log, 2);
    signal(SIGPIPE, SIG_DFL);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(log);
  pid_ = pid;
  exitCode_ = -1;
  return true;
}

bool ChildProcess::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  const pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  if (r == pid_) Reaped(status);
  pid_ = -1;  // ended (and reaped), or not ours any more
  return false;
}

void ChildProcess::Reaped(int status) { exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

void ChildProcess::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 100; ++i) {
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r != 0) {
      if (r == pid_) Reaped(status);
      pid_ = -1;
      return;
    }
    usleep(10 * 1000);
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  exitCode_ = -1;
  pid_ = -1;
}

std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream folders(std::string(path != nullptr ? path : "") + ":/usr/sbin:/sbin:/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (folder.empty()) continue;
    const std::string candidate = folder + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}
