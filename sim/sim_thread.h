#pragma once
// A serving loop on its own thread with a stop switch: the loop gets a
// descriptor that becomes readable when it is to end (pass it to SimServe and
// the TCP loops as their wake descriptor).

#include <functional>
#include <thread>

class SimStoppableThread {
 public:
  SimStoppableThread() = default;
  ~SimStoppableThread() { Stop(); }
  SimStoppableThread(const SimStoppableThread&) = delete;
  SimStoppableThread& operator=(const SimStoppableThread&) = delete;

  // Runs loop(stopFd) on the thread; false (errno set) when it could not start.
  bool Start(std::function<void(int stopFd)> loop);
  // Makes stopFd readable and joins the thread; later calls do nothing.
  void Stop();

 private:
  int stop_[2] = {-1, -1};
  std::thread thread_;
};
