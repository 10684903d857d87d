#include "sim/sim_thread.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

bool SimStoppableThread::Start(std::function<void(int stopFd)> loop) {
  if (pipe2(stop_, O_CLOEXEC | O_NONBLOCK) != 0) {
    stop_[0] = stop_[1] = -1;
    return false;
  }
  thread_ = std::thread([this, loop = std::move(loop)] { loop(stop_[0]); });
  return true;
}

void SimStoppableThread::Stop() {
  if (thread_.joinable()) {
    const uint8_t byte = 1;
    while (write(stop_[1], &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  for (int& fd : stop_) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}
