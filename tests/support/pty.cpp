#include "support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>

TestPty::TestPty() {
  termios raw{};
  cfmakeraw(&raw);
  char path[64] = {};
  if (openpty(&master, &slave, path, &raw, nullptr) != 0) {
    ADD_FAILURE() << "openpty: " << std::strerror(errno);
    return;
  }
  name = std::string(path).substr(std::strlen("/dev/"));
}

TestPty::~TestPty() {
  CloseMaster();
  if (slave >= 0) close(slave);
}

void TestPty::Write(const std::vector<uint8_t>& bytes) const {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
    ASSERT_GT(n, 0) << std::strerror(errno);
    done += static_cast<size_t>(n);
  }
}

std::vector<uint8_t> TestPty::Read(size_t count, int timeoutMs) const {
  std::vector<uint8_t> out;
  while (out.size() < count) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0 || (p.revents & POLLIN) == 0) break;
    uint8_t buf[512];
    const size_t want = std::min(count - out.size(), sizeof buf);
    const ssize_t n = read(master, buf, want);
    if (n <= 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

void TestPty::CloseMaster() {
  if (master >= 0) close(master);
  master = -1;
}
