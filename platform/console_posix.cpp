#include "platform/console.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

void PlatformStdStreamsInit() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    // The lowest free descriptor is the closed one: the null device fills it.
    const int filler = open("/dev/null", O_RDONLY);
    if (filler >= 0 && filler != fd) {
      dup2(filler, fd);
      close(filler);
    }
  }
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

bool PlatformStderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

int PlatformStderrColumns() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

bool PlatformWriteText(std::FILE* stream, const char* text, size_t length) {
  return std::fwrite(text, 1, length, stream) == length && std::ferror(stream) == 0;
}

void PlatformStdoutBinary() {}
