#include "sim/sim_serve.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <deque>

namespace {

constexpr size_t kReadChunk = 512;
constexpr int kSendPatienceMs = 1000;  // a client that reads nothing for this long loses the answer
constexpr int kIdleLookMs = 5;          // how often a terminal nobody has open is looked at again
constexpr int kClearAfterIdleMs = 100;  // idle this long, a terminal's exclusive flag is cleared

struct Outgoing {
  int64_t dueUs;
  std::vector<uint8_t> bytes;
};

bool PeerGoneError(int error) {
  return error == EIO || error == ENXIO || error == ECONNRESET || error == EPIPE || error == ENOTCONN ||
         error == ESHUTDOWN;
}

bool IsSocket(int fd) {
  int type = 0;
  socklen_t size = sizeof type;
  return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0;
}

// Sends all of bytes, waiting for room at most kSendPatienceMs; returns a
// SimServeResult when serving must end, or 2 to go on.
constexpr int kGoOn = 2;
int SendAll(int fd, bool socket, int wakeFd, const std::vector<uint8_t>& bytes, size_t* sent) {
  *sent = 0;
  const int64_t giveUpUs = SimNowUs() + kSendPatienceMs * 1000;
  while (*sent < bytes.size()) {
    const ssize_t n = socket ? send(fd, bytes.data() + *sent, bytes.size() - *sent, MSG_NOSIGNAL)
                             : write(fd, bytes.data() + *sent, bytes.size() - *sent);
    if (n > 0) {
      *sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && PeerGoneError(errno)) return SimServePeerGone;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return SimServeFailed;
    const int64_t leftUs = giveUpUs - SimNowUs();
    if (leftUs <= 0) return kGoOn;  // nobody reads: the rest is lost, as on a real line
    pollfd p[2] = {{fd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
    const int ready = poll(p, wakeFd >= 0 ? 2 : 1, static_cast<int>(leftUs / 1000) + 1);
    if (ready < 0 && errno != EINTR) return SimServeFailed;
    if (wakeFd >= 0 && (p[1].revents & POLLIN) != 0) return SimServeStopped;
  }
  return kGoOn;
}

// The converter's end of a line of a given rate: bytes are taken off the port
// no faster than they would cross it, so that what is still on the way stays
// queued on the client's side, as on a real line.
class LinePace {
 public:
  // How many of want bytes may be taken now; 0 with *dueUs the time the next
  // one will have crossed.
  size_t Allowed(uint32_t rate, int64_t now, size_t want, int64_t* dueUs) {
    if (rate == 0) return want;
    if (!busy_) {
      busy_ = true;
      startUs_ = now;
      taken_ = 0;
    }
    const uint64_t crossed = static_cast<uint64_t>(now - startUs_) * rate / 1000000u;
    if (crossed > taken_) return std::min<size_t>(want, static_cast<size_t>(crossed - taken_));
    *dueUs = startUs_ + static_cast<int64_t>((taken_ + 1) * 1000000u / rate);
    return 0;
  }
  // got of asked were there; fewer means the client's queue ran dry.
  void Took(size_t got, size_t asked) {
    taken_ += got;
    if (got < asked) busy_ = false;
  }

 private:
  bool busy_ = false;
  int64_t startUs_ = 0;
  uint64_t taken_ = 0;
};

// Clears the terminal's exclusive flag; only root may open it while it is set.
void ClearExclusive(const char* slave, bool* warned) {
  const int fd = open(slave, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    ioctl(fd, TIOCNXCL);
    close(fd);
  } else if (errno == EBUSY && !*warned) {
    std::fprintf(stderr, "rs485sim: %s was left exclusive by a program that did not close it; only root can "
                 "open it until the simulator starts again\n", slave);
    *warned = true;
  }
}

}  // namespace

int SimServe(int fd, SimConverter& converter, int wakeFd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return SimServeFailed;
  const bool socket = IsSocket(fd);
  std::deque<Outgoing> queue;
  std::vector<SimReply> replies;
  // A socket's peer may shut down only its sending side ("request, then end of
  // input"); it still reads, so the answers it asked for go out before serving
  // ends.
  bool inputEnded = false;
  LinePace pace;
  int64_t lineDueUs = -1;  // input waits on the line until then

  for (;;) {
    // Send what is due, in order.
    while (!queue.empty() && queue.front().dueUs <= SimNowUs()) {
      size_t sent = 0;
      const int result = SendAll(fd, socket, wakeFd, queue.front().bytes, &sent);
      if (sent > 0) converter.NoteSent(queue.front().bytes.data(), sent);
      queue.pop_front();
      if (result != kGoOn) return result;
    }
    if (inputEnded && queue.empty()) return SimServePeerGone;

    const int64_t now = SimNowUs();
    int64_t next = converter.Deadline();
    if (!queue.empty() && (next < 0 || queue.front().dueUs < next)) next = queue.front().dueUs;
    if (lineDueUs >= 0 && (next < 0 || lineDueUs < next)) next = lineDueUs;
    const int timeoutMs = next < 0 ? -1 : static_cast<int>(next > now ? (next - now + 999) / 1000 : 0);

    // Input still on the line is not asked for: it is there, but not yet due.
    pollfd p[2] = {{inputEnded ? -1 : fd, static_cast<short>(lineDueUs >= 0 ? 0 : POLLIN), 0}, {wakeFd, POLLIN, 0}};
    const int ready = poll(p, wakeFd >= 0 ? 2 : 1, timeoutMs);
    if (ready < 0 && errno != EINTR) return SimServeFailed;
    if (wakeFd >= 0 && (p[1].revents & POLLIN) != 0) return SimServeStopped;
    if ((p[0].revents & POLLNVAL) != 0) return SimServeFailed;
    const bool lineDue = lineDueUs >= 0 && SimNowUs() >= lineDueUs;
    if (lineDue) lineDueUs = -1;

    if ((p[0].revents & POLLIN) != 0 || lineDue) {
      uint8_t chunk[kReadChunk];
      for (;;) {
        const size_t allowed = pace.Allowed(converter.LineRate(), SimNowUs(), sizeof chunk, &lineDueUs);
        if (allowed == 0) break;
        const ssize_t n = read(fd, chunk, allowed);
        if (n > 0) {
          pace.Took(static_cast<size_t>(n), allowed);
          converter.Feed(chunk, static_cast<size_t>(n), SimNowUs(), replies);
          continue;
        }
        pace.Took(0, allowed);
        if (n == 0) {
          inputEnded = true;
          break;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        return PeerGoneError(errno) ? SimServePeerGone : SimServeFailed;
      }
    } else if ((p[0].revents & (POLLHUP | POLLERR)) != 0) {
      return SimServePeerGone;
    }

    converter.Expire(SimNowUs(), replies);
    const int64_t arrived = SimNowUs();
    for (SimReply& reply : replies)
      queue.push_back(Outgoing{arrived + static_cast<int64_t>(reply.delayMs) * 1000, std::move(reply.bytes)});
    replies.clear();
  }
}

int SimServeTerminal(int master, SimConverter& converter, int wakeFd) {
  char slave[128];
  if (ptsname_r(master, slave, sizeof slave) != 0) return SimServeFailed;
  bool warned = false;
  for (;;) {
    const int result = SimServe(master, converter, wakeFd);
    if (result != SimServePeerGone) return result;
    // Everybody has closed the terminal; wait for the next program (the master
    // stops reading as hung up once one has it open). A program that was
    // killed left the exclusive flag set, which would refuse every later open
    // but root's: once the terminal has stood idle a while, it is cleared,
    // late enough never to meet the next program arriving.
    int idleMs = 0;
    bool cleared = false;
    for (;;) {
      pollfd p[2] = {{master, POLLIN, 0}, {wakeFd, POLLIN, 0}};
      if (poll(p, wakeFd >= 0 ? 2 : 1, 0) < 0 && errno != EINTR) return SimServeFailed;
      if (wakeFd >= 0 && (p[1].revents & POLLIN) != 0) return SimServeStopped;
      if ((p[0].revents & POLLHUP) == 0 || (p[0].revents & POLLIN) != 0) break;
      if (!cleared && idleMs >= kClearAfterIdleMs) {
        ClearExclusive(slave, &warned);
        cleared = true;
      }
      pollfd wake{wakeFd, POLLIN, 0};
      if (wakeFd >= 0 ? poll(&wake, 1, kIdleLookMs) > 0 : (usleep(kIdleLookMs * 1000), false)) return SimServeStopped;
      idleMs += kIdleLookMs;
    }
  }
}

SimPty::SimPty() {
  termios raw{};
  cfmakeraw(&raw);
  char path[128] = {};
  int slave = -1;
  if (openpty(&master_, &slave, path, &raw, nullptr) != 0) {
    error_ = errno;
    master_ = -1;
    return;
  }
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  close(slave);  // raw mode stays with the terminal
  path_ = path;
  name_ = path_.rfind("/dev/", 0) == 0 ? path_.substr(5) : path_;
}

SimPty::~SimPty() {
  if (master_ >= 0) close(master_);
}

SimServer::SimServer(SimConverter& converter, int fd, SimServeFunction serve) {
  running_ = true;
  ok_ = thread_.Start([this, &converter, fd, serve](int stopFd) {
    result_ = serve(fd, converter, stopFd);
    running_ = false;
  });
  if (!ok_) running_ = false;
}

SimServer::~SimServer() { Stop(); }

SimDevice::SimDevice() {
  if (pty_.Ok()) server_ = std::make_unique<SimServer>(converter_, pty_.Master(), SimServeTerminal);
}

SimDevice::~SimDevice() { Stop(); }

void SimDevice::Stop() {
  if (server_ != nullptr) server_->Stop();
}
