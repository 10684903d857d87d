#include "protocol/device_channel.h"

#include <cstring>

#include "platform/time.h"
#include "ports/port_io.h"
#include "protocol/checksum.h"

namespace {

constexpr int32_t kRequestLength = 12;  // header and parameter block
constexpr int32_t kSplitPauseMs = 50;   // lets the converter take the parameter block before the data
constexpr int32_t kMaxLength = 255;     // what the length byte of a request carries

// Writes the header [0x60, address, command, checksum] at frame[0..3].
void PutHeader(uint8_t* frame, uint8_t address, uint8_t command) {
  frame[0] = FrameStart;
  frame[1] = address;
  frame[2] = command;
  frame[3] = FrameChecksum(frame, 3);
}

// Memory commands carry the address as bits 8-15, 16-23, 0-7.
void PutAddress(uint8_t* at, uint32_t address) {
  at[0] = static_cast<uint8_t>(address >> 8);
  at[1] = static_cast<uint8_t>(address >> 16);
  at[2] = static_cast<uint8_t>(address);
}

int32_t CheckLengthOf(uint8_t checkMode) {
  switch (checkMode & 3) {
    case 1: return 1;
    case 2: return 4;
    default: return 0;
  }
}

}  // namespace

DeviceChannel::DeviceChannel(PortId port)
    : CheckLength(0), Frame{}, BusAddress(0), Port(port), RequestState(0) {}

int DeviceChannel::Transact(uint8_t* frame, int32_t requestLength, int32_t replyLength) {
  if (frame == nullptr || requestLength < 0 || requestLength > DeviceFrameSize || replyLength < 0 ||
      replyLength > DeviceFrameSize)
    return ResultBadRequest;

  PortFlushInput(Port);
  const bool split = requestLength > kRequestLength && (frame[2] & 0x48) == WriteMemoryCommand;
  if (split) {
    PortWrite(Port, frame, kRequestLength);
    PlatformSleepMs(kSplitPauseMs);
    PortWrite(Port, frame + kRequestLength, static_cast<uint32_t>(requestLength - kRequestLength));
  } else {
    PortWrite(Port, frame, static_cast<uint32_t>(requestLength));
  }

  if (replyLength == 0) return ResultOk;  // nothing to wait for
  const int32_t timeoutMs = 3 * (requestLength + replyLength) + 300;
  return PortRead(Port, frame, replyLength, timeoutMs) != 0 ? ResultOk : ResultTimeout;
}

int DeviceChannel::ReadMemory(uint32_t address, uint8_t flags, int32_t length, uint8_t* destination,
                              uint8_t checkMode, uint8_t option) {
  if (length < 0 || length > kMaxLength || (destination == nullptr && length > 0))
    return ResultBadRequest;

  if (RequestState == 0) {
    PutHeader(Frame, BusAddress, static_cast<uint8_t>(ReadMemoryCommand | flags));
    uint8_t* p = Frame + 4;
    p[0] = checkMode;
    p[1] = option;
    PutAddress(p + 2, address);
    p[5] = 0x00;
    p[6] = static_cast<uint8_t>(length);
    p[7] = FrameChecksum(p, 7);
    CheckLength = CheckLengthOf(checkMode);
    RequestState = 1;
  }

  // A repeated call uses the stored check length; it must still fit the frame.
  const int32_t replyLength = length + CheckLength + 1;
  if (CheckLength < 0 || replyLength > DeviceFrameSize) {
    RequestState = 0;
    return ResultBadRequest;
  }

  const int result = Transact(Frame, kRequestLength, replyLength);
  if (result == ResultPending) return ResultPending;
  RequestState = 0;
  if (result != ResultOk) return result;

  if (length > 0) std::memcpy(destination, Frame, static_cast<size_t>(length));
  const uint8_t* check = Frame + length;
  if (CheckLength == 1 && FrameChecksum(Frame, length) != check[0]) return ResultBadChecksum;
  if (CheckLength == 4) {
    CrcState = 0xFFFFFFFFu;
    WordCrc32(Frame, static_cast<uint16_t>(length));
    const uint32_t sent = static_cast<uint32_t>(check[0]) | static_cast<uint32_t>(check[1]) << 8 |
                          static_cast<uint32_t>(check[2]) << 16 | static_cast<uint32_t>(check[3]) << 24;
    if (CrcState != sent) return ResultBadChecksum;
  }
  return ResultOk;
}

int DeviceChannel::WriteMemory(uint32_t address, uint8_t flags, const uint8_t* data, uint8_t count) {
  if (count == 0 || data == nullptr) return ResultBadRequest;

  if (RequestState == 0) {
    PutHeader(Frame, BusAddress, static_cast<uint8_t>(WriteMemoryCommand | flags));
    uint8_t* p = Frame + 4;
    p[0] = 0x00;
    p[1] = 0x00;
    PutAddress(p + 2, address);
    p[5] = data[0];  // the first data byte travels in the parameter block
    p[6] = count;
    p[7] = FrameChecksum(p, 7);
    if (count > 1) {
      uint8_t* block = Frame + kRequestLength;
      std::memcpy(block, data + 1, static_cast<size_t>(count - 1));
      block[count - 1] = FrameChecksum(block, count - 1);
    }
    RequestState = 1;
  }

  const int32_t requestLength = count > 1 ? kRequestLength + count : kRequestLength;
  const int32_t replyLength = count > 1 ? 1 : 2;
  const int result = Transact(Frame, requestLength, replyLength);
  if (result == ResultPending) return ResultPending;
  RequestState = 0;
  if (result != ResultOk) return result;
  if (count > 1 && Frame[0] == 0xFF) return ResultRefused;
  return ResultOk;
}

void SendShortCommand(PortId port, uint8_t address, uint8_t command) {
  if (address == 0) return;
  uint8_t frame[4];
  PutHeader(frame, address, command);
  PortFlushInput(port);
  PortWrite(port, frame, sizeof frame);
}
