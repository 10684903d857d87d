#include "platform/console.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include "platform/text_win32.h"

namespace {

// The console behind stream, or nullptr when it goes to a file or a pipe.
HANDLE ConsoleOf(std::FILE* stream) {
  const intptr_t handle = _get_osfhandle(_fileno(stream));
  if (handle == -1) return nullptr;
  DWORD mode = 0;
  return GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode) ? reinterpret_cast<HANDLE>(handle) : nullptr;
}

}  // namespace

void PlatformStdStreamsInit() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (_get_osfhandle(fd) != -1) continue;
    const int filler = _open("NUL", _O_RDONLY | _O_BINARY);
    if (filler >= 0 && filler != fd) {
      _dup2(filler, fd);
      _close(filler);
    }
  }
}

bool PlatformStderrIsTerminal() { return ConsoleOf(stderr) != nullptr; }

int PlatformStderrColumns() {
  const HANDLE console = ConsoleOf(stderr);
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (console == nullptr || !GetConsoleScreenBufferInfo(console, &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

bool PlatformWriteText(std::FILE* stream, const char* text, size_t length) {
  const HANDLE console = ConsoleOf(stream);
  if (console == nullptr)
    return std::fwrite(text, 1, length, stream) == length && std::ferror(stream) == 0;
  // A console takes characters: its code page stays the user's, and Cyrillic
  // shows as it is instead of a byte at a time.
  std::fflush(stream);
  const std::wstring wide = WideFromUtf8(std::string(text, length));
  for (size_t done = 0; done < wide.size();) {
    DWORD written = 0;
    if (!WriteConsoleW(console, wide.data() + done, static_cast<DWORD>(wide.size() - done), &written, nullptr) ||
        written == 0)
      return false;
    done += written;
  }
  return true;
}

void PlatformStdoutBinary() {
  std::fflush(stdout);
  _setmode(_fileno(stdout), _O_BINARY);
}
