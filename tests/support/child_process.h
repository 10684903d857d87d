#pragma once
// A helper program run by a test (ser2net, socat), with its output in a log
// file. The destructor stops it and reaps it, also when the test failed.

#include <sys/types.h>

#include <string>
#include <vector>

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] (an absolute path, or a name looked up on PATH) with
  // standard output and error appended to logPath. False when it could not be
  // started.
  bool Start(const std::vector<std::string>& argv, const std::string& logPath);

  // True while the program runs; reaps it once it has ended.
  bool Running();

  // Asks the program to end, kills it if it has not ended within a second,
  // and reaps it. Does nothing when none runs.
  void Stop();

  pid_t pid() const { return pid_; }

  // How the last program ended: its exit code, or -1 when a signal ended it
  // (or it was killed by Stop) or none has ended yet.
  int ExitCode() const { return exitCode_; }

 private:
  void Reaped(int status);

  pid_t pid_ = -1;
  int exitCode_ = -1;
};

// Absolute path of an installed program, searching PATH and the system's
// sbin folders; empty when it is not installed.
std::string FindProgram(const std::string& name);
