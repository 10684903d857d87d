#pragma once
// Serving the simulated converter on a byte stream: any file descriptor that
// reads and writes bytes (a pseudo-terminal's master side, a connected socket).
// SimPty opens a pseudo-terminal; SimServer serves on a thread; SimDevice puts
// the three together for tests: a converter on its own pseudo-terminal.

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "sim/sim_converter.h"
#include "sim/sim_thread.h"

enum SimServeResult : int {
  SimServeStopped = 0,   // the wake descriptor became readable
  SimServePeerGone = 1,  // end of file, EIO or hang-up from the other side
  SimServeFailed = -1,   // the descriptor cannot be served (bad descriptor, poll failure)
};

// Serves converter on fd (switched to non-blocking) until wakeFd becomes
// readable or the peer goes away. Answers are sent after the converter's delay;
// at the end of input the answers still owed go out first, but those still
// waiting at a stop or a hang-up are dropped. wakeFd may be -1 (no stop
// but the peer's). Does not close fd, and does not read from wakeFd.
int SimServe(int fd, SimConverter& converter, int wakeFd);

// Serves converter on a pseudo-terminal's master side as a converter serves
// its port: whoever opens the terminal is served, and it stays available
// between programs. While nobody has the terminal open the master reads as hung
// up; serving then looks again every few milliseconds until wakeFd becomes
// readable. When a program goes away without clearing the terminal's exclusive
// flag (it was killed), the flag is cleared, as the kernel does when the last
// user of a real device closes it. Returns SimServeStopped or SimServeFailed.
int SimServeTerminal(int master, SimConverter& converter, int wakeFd);

// A pseudo-terminal pair in raw mode. The master side is what the converter
// serves; the slave side is closed again at once, as nobody holds a real
// converter's port until a program opens it.
class SimPty {
 public:
  SimPty();
  ~SimPty();
  SimPty(const SimPty&) = delete;
  SimPty& operator=(const SimPty&) = delete;

  bool Ok() const { return master_ >= 0; }
  int Error() const { return error_; }               // errno of a failed open
  int Master() const { return master_; }
  const std::string& Path() const { return path_; }  // "/dev/pts/5"
  const std::string& PortName() const { return name_; }  // "pts/5", as PortOpen takes it

 private:
  int master_ = -1;
  int error_ = 0;
  std::string path_;
  std::string name_;
};

using SimServeFunction = int (*)(int fd, SimConverter& converter, int wakeFd);

// Runs SimServe (or serve) on a thread until Stop or the destructor.
class SimServer {
 public:
  SimServer(SimConverter& converter, int fd, SimServeFunction serve = SimServe);
  ~SimServer();
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;

  bool Ok() const { return ok_; }
  void Stop() { thread_.Stop(); }  // wakes the thread and joins it; later calls do nothing
  bool Running() const { return running_; }  // false once SimServe returned
  int Result() const { return result_; }     // SimServe's result once it returned

 private:
  std::atomic<bool> running_{false};
  std::atomic<int> result_{SimServeStopped};
  bool ok_ = false;
  SimStoppableThread thread_;  // last: stopped before the rest goes
};

// A simulated converter on its own pseudo-terminal, served on a thread.
//   SimDevice sim;
//   PortOpen(id, sim.PortName().c_str());
//   sim.Converter().SetFaults(...); sim.Converter().Snapshot(); ...
class SimDevice {
 public:
  SimDevice();
  ~SimDevice();
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  bool Ok() const { return pty_.Ok() && server_ != nullptr && server_->Ok(); }
  const std::string& PortName() const { return pty_.PortName(); }
  const std::string& Path() const { return pty_.Path(); }
  // The terminal's master side; tcgetattr on it reads the line that the
  // program on the other side set.
  int Master() const { return pty_.Master(); }
  SimConverter& Converter() { return converter_; }
  void Stop();  // stops serving; the state stays readable

 private:
  SimConverter converter_;
  SimPty pty_;
  std::unique_ptr<SimServer> server_;
};
