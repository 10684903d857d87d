// The device channel takes arbitrary bytes as the converter's answer. A
// pseudo-terminal stands in for the line: a helper thread on the master side
// takes the request and answers with the input's bytes.
//
// Input: [operation] [parameters a, b] [bytes...]
//   0 memory read:   check mode a, length b (256 + b when a is 0xFF: refused)
//   1 one-byte write: data, then the answer
//   2 Transact:      request length (1..12, or -1), answer length (0..314, or 315)
//   0xFF a write of the 6-byte settings record: data, then the answer. Such a
//   write pauses 50 ms inside its request: libFuzzer would spend nearly all its
//   time waiting (150 runs a second instead of 5000), so only the seeds run it,
//   in the ordinary build.

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "fuzz_check.h"
#include "ports/ms_clock.h"
#include "ports/port_table.h"
#include "protocol/checksum.h"
#include "protocol/device_channel.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Line {
  int master = -1;
  int slave = -1;  // held open so the master never reads as hung up
  PortId port = 0;
};

Line& OpenLine() {
  static Line line = [] {
    Line l;
    termios raw{};
    cfmakeraw(&raw);
    char path[64] = {};
    FuzzCheck(openpty(&l.master, &l.slave, path, &raw, nullptr) == 0, "openpty");
    PortLayerInit();
    MsClockStart();
    FuzzCheck(PortOpen(l.port, path + std::strlen("/dev/")) == 0, "PortOpen on the pty");
    return l;
  }();
  return line;
}

// Reads count bytes the channel sent, waiting at most 2 s for each piece.
size_t TakeRequest(int master, size_t count) {
  size_t got = 0;
  uint8_t buffer[512];
  while (got < count) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 2000) <= 0) break;
    const ssize_t n = read(master, buffer, std::min(sizeof buffer, count - got));
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return got;
}

bool NothingSent(int master) {
  pollfd p{master, POLLIN, 0};
  return poll(&p, 1, 0) == 0;
}

// Runs exchange() while the helper plays the converter: it waits for the
// request, then answers. The answer is exactly as long as the channel reads,
// so nothing is left over for the next input.
template <class Exchange>
int Converse(size_t requestLength, const Bytes& answer, Exchange exchange) {
  const Line& line = OpenLine();
  size_t seen = 0;
  std::thread converter([&] {
    seen = TakeRequest(line.master, requestLength);
    if (seen == requestLength && !answer.empty())
      FuzzCheck(write(line.master, answer.data(), answer.size()) == static_cast<ssize_t>(answer.size()),
                "answer written");
  });
  const int result = exchange();
  converter.join();
  FuzzCheck(seen == requestLength, "the request is as long as the command makes it");
  return result;
}

Bytes AnswerOf(const uint8_t* data, size_t size, size_t length) {
  Bytes answer(data, data + std::min(size, length));
  answer.resize(length, 0);
  return answer;
}

void MemoryRead(DeviceChannel& channel, uint8_t mode, int32_t length, const uint8_t* data, size_t size) {
  constexpr size_t kGuard = 16;
  Bytes destination(static_cast<size_t>(std::max(length, 0)) + kGuard, 0xA5);
  if (length < 0 || length > 255) {
    FuzzCheck(channel.ReadMemory(0, 0, length, destination.data(), mode, 0) == ResultBadRequest,
              "a read length outside 0..255 is refused");
    FuzzCheck(NothingSent(OpenLine().master), "a refused read sends nothing");
    return;
  }
  const int32_t checkLength = (mode & 3) == 1 ? 1 : (mode & 3) == 2 ? 4 : 0;
  const Bytes answer = AnswerOf(data, size, static_cast<size_t>(length + checkLength + 1));
  const int result =
      Converse(12, answer, [&] { return channel.ReadMemory(0, 0, length, destination.data(), mode, 0); });

  const uint8_t* check = answer.data() + length;
  bool good = true;
  if (checkLength == 1) good = FrameChecksum(answer.data(), length) == check[0];
  if (checkLength == 4) {
    CrcState = 0xFFFFFFFFu;
    WordCrc32(answer.data(), static_cast<uint16_t>(length));
    good = CrcState == (check[0] | check[1] << 8 | check[2] << 16 | static_cast<uint32_t>(check[3]) << 24);
  }
  FuzzCheck(result == (good ? ResultOk : ResultBadChecksum), "a read passes exactly when its check bytes are right");
  FuzzCheck(std::equal(answer.begin(), answer.begin() + length, destination.begin()), "the data is copied as sent");
  FuzzCheck(std::all_of(destination.begin() + length, destination.end(), [](uint8_t b) { return b == 0xA5; }),
            "nothing is written past the read's length");
  FuzzCheck(channel.RequestState == 0 && channel.CheckLength == checkLength, "the exchange is over");
}

void MemoryWrite(DeviceChannel& channel, uint8_t count, const uint8_t* data, size_t size) {
  const Bytes values = AnswerOf(data, size, count);
  const Bytes answer = AnswerOf(data + std::min<size_t>(size, count), size - std::min<size_t>(size, count),
                                count > 1 ? 1 : 2);
  const size_t requestLength = count > 1 ? 12u + count : 12u;
  const int result = Converse(requestLength, answer, [&] { return channel.WriteMemory(0, 0, values.data(), count); });
  const bool refused = count > 1 && answer[0] == 0xFF;
  FuzzCheck(result == (refused ? ResultRefused : ResultOk), "only 0xFF refuses a write, and not a one-byte one");
  FuzzCheck(channel.RequestState == 0, "the exchange is over");
}

void Transact(DeviceChannel& channel, int32_t requestLength, int32_t replyLength, const uint8_t* data, size_t size) {
  Bytes frame(DeviceFrameSize, 0x5A);
  std::copy_n(data, std::min<size_t>(size, 12), frame.begin());
  const Bytes before = frame;
  if (requestLength < 0 || requestLength > DeviceFrameSize || replyLength < 0 || replyLength > DeviceFrameSize) {
    FuzzCheck(channel.Transact(frame.data(), requestLength, replyLength) == ResultBadRequest,
              "lengths outside the frame are refused");
    FuzzCheck(frame == before && NothingSent(OpenLine().master), "a refused exchange sends and changes nothing");
    return;
  }
  const Bytes answer = AnswerOf(data, size, static_cast<size_t>(replyLength));
  const int result = Converse(static_cast<size_t>(requestLength), answer,
                              [&] { return channel.Transact(frame.data(), requestLength, replyLength); });
  FuzzCheck(result == ResultOk, "an answer that arrives whole is taken");
  FuzzCheck(std::equal(answer.begin(), answer.end(), frame.begin()), "the answer lands at the frame's start");
  FuzzCheck(std::equal(frame.begin() + replyLength, frame.end(), before.begin() + replyLength),
            "the frame beyond the answer is untouched");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  DeviceChannel channel(OpenLine().port);
  channel.BusAddress = 16;
  const uint8_t operation = data[0];
  const uint8_t a = data[1];
  const uint8_t b = data[2];
  data += 3;
  size -= 3;
  if (operation == 0xFF) {
#ifndef RS485_LIBFUZZER
    MemoryWrite(channel, 6, data, size);
#endif
    return 0;
  }
  switch (operation % 3) {
    case 0: MemoryRead(channel, a, a == 0xFF ? 256 + b : b, data, size); break;
    case 1: MemoryWrite(channel, 1, data, size); break;
    default:
      // At least one request byte, so the answer cannot come before the channel's flush.
      Transact(channel, a % 16 == 15 ? -1 : a % 12 + 1, b == 0xFF ? 315 : b + (a & 0x80 ? 60 : 0), data, size);
  }
  return 0;
}
