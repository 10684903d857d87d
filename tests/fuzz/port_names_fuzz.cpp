// Port names. A TCP client name is taken only in its one written form: an
// accepted text formats back to itself byte for byte, and every address and
// port 1-65535 written that way is taken with its values. A serial name's
// device path is "/dev/" + name or the absolute name itself, and never longer
// than the caller's buffer.
//
// Input: [buffer size] [text...]

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "platform/serial.h"
#include "ports/tcp.h"

namespace {

std::string Written(uint32_t address, uint16_t port) {
  const auto* a = reinterpret_cast<const uint8_t*>(&address);  // network byte order
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", a[0], a[1], a[2], a[3], port);
  return text;
}

void ClientName(const std::string& text) {
  uint32_t address = 0;
  uint16_t port = 0;
  if (TcpParseClientName(text.c_str(), &address, &port) == 0)
    FuzzCheck(port != 0 && Written(address, port) == text, "an accepted client name round-trips");

  if (text.size() < 6) return;
  uint32_t made = 0;
  std::memcpy(&made, text.data(), 4);
  const uint16_t madePort = static_cast<uint16_t>(static_cast<uint8_t>(text[4]) | static_cast<uint8_t>(text[5]) << 8);
  const std::string written = Written(made, madePort);
  const int result = TcpParseClientName(written.c_str(), &address, &port);
  if (madePort == 0)
    FuzzCheck(result == -1, "port 0 is refused");
  else
    FuzzCheck(result == 0 && address == made && port == madePort, "a written address and port are taken");
}

void DevicePath(const std::string& name, size_t size) {
  const std::string expected = name[0] == '/' ? name : "/dev/" + name;
  std::vector<char> path(size + 1, '\x7F');  // one byte past the buffer, to see it untouched
  const bool fits = SerialDevicePath(name.c_str(), path.data(), size);
  FuzzCheck(fits == (expected.size() < size), "the path fits exactly when it is shorter than the buffer");
  if (fits) FuzzCheck(std::string(path.data()) == expected, "the path is /dev/NAME or the absolute name");
  FuzzCheck(path[size] == '\x7F', "nothing is written past the buffer");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string cText = text.c_str();  // what a C string of the input holds
  ClientName(cText);
  if (!cText.empty()) DevicePath(cText, data[0]);
  return 0;
}
