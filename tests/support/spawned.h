#pragma once
// A program a test runs with its standard output and error captured, and
// standard input from /dev/null. The destructor kills and reaps a program that
// still runs, also when the test failed.

#include <sys/types.h>

#include <string>
#include <vector>

struct SpawnOptions {
  std::vector<std::string> env;  // "NAME=value": replaces the variable of that name
  bool stderrTerminal = false;   // standard error on a pseudo-terminal instead of a pipe
  int terminalColumns = 0;       // that terminal's width; 0: the system's default
  // Standard output: a pipe read here, closed, or a pipe nobody reads any more.
  enum StdoutKind { StdoutPipe, StdoutClosed, StdoutReaderGone } stdoutKind = StdoutPipe;
  // A process group of its own, as a shell gives a job: kill(-pid, SIGINT)
  // is then a Ctrl+C at its terminal, reaching it and what it started.
  bool ownGroup = false;
};

class Spawned {
 public:
  Spawned() = default;
  ~Spawned();
  Spawned(const Spawned&) = delete;
  Spawned& operator=(const Spawned&) = delete;

  // argv[0] is the program's path. False when it could not be started.
  bool Start(const std::vector<std::string>& argv, const SpawnOptions& options = {});
  pid_t pid() const { return pid_; }

  // Standard output up to its first newline (left out), waiting at most timeoutMs.
  std::string ReadLine(int timeoutMs);

  // Collects both streams into out and err until they end (the program and
  // whatever it started have closed them), at most timeoutMs. True when both ended.
  bool Collect(int timeoutMs);

  // Sends signal (0: none), collects the output and reaps the program, killing
  // it after timeoutMs. Its exit code, or -1 when a signal ended it or it had
  // to be killed.
  int Finish(int signal, int timeoutMs);

  std::string out;
  std::string err;

 private:
  void CloseStreams();

  pid_t pid_ = -1;
  bool ownGroup_ = false;
  int streams_[2] = {-1, -1};  // what the test reads: standard output, standard error
};

struct ProgramRun {
  int exitCode = -1;  // -1: ended by a signal, or killed at the deadline
  std::string out;
  std::string err;
  int elapsedMs = 0;
};

// Runs a program to its end, killing it when it outlives timeoutMs.
ProgramRun RunToEnd(const std::vector<std::string>& argv, int timeoutMs, const SpawnOptions& options = {});
