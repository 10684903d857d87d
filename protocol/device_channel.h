#pragma once
// The converter's request/response protocol. A request is a 4-byte header
// [0x60, bus address, command, checksum] followed by blocks, each closed by the
// FrameChecksum of that block alone; the reply is a fixed number of bytes that
// the command decides, read back into the frame buffer.

#include <cstdint>

#include "ports/port_table.h"

// Results of the protocol layer: 1 done, 0 call again, negative a failure.
constexpr int ResultOk = 1;
constexpr int ResultPending = 0;
constexpr int ResultBadRequest = -2;  // arguments the frame or the length byte cannot carry; nothing sent
constexpr int ResultRefused = -3;     // a memory write answered with 0xFF
constexpr int ResultBadChecksum = -4; // the reply's checksum or CRC does not match its data
constexpr int ResultTimeout = -6;     // the reply, or part of it, did not arrive in time

// Short commands of the firmware update; each is a bare header, no reply.
constexpr uint8_t UpdateEnterCommand = 0xFA;
constexpr uint8_t UpdateLeaveCommand = 0xF1;
constexpr uint8_t RecordCommand = 0xF3;

constexpr uint8_t FrameStart = 0x60;
constexpr uint8_t ReadMemoryCommand = 0x48;
constexpr uint8_t WriteMemoryCommand = 0x40;
constexpr int DeviceFrameSize = 314;

// One converter on one open port. The creator sets BusAddress before the first
// operation; the channel never opens or closes its port.
class DeviceChannel {
 public:
  explicit DeviceChannel(PortId port);

  int32_t CheckLength;             // check bytes after the data of the pending read: 0, 1 or 4
  uint8_t Frame[DeviceFrameSize];  // the request, then the reply
  uint8_t BusAddress;
  PortId Port;
  uint8_t RequestState;            // 1 while a built request is being exchanged

  // Discards pending input, sends requestLength bytes of frame and reads
  // replyLength bytes back into it. A memory write longer than 12 bytes goes out
  // as its first 12 bytes, a 50 ms pause and the rest. The reply may take
  // 3 ms per byte of request and reply plus 300 ms. Returns ResultOk or
  // ResultTimeout; lengths outside 0..DeviceFrameSize give ResultBadRequest.
  int Transact(uint8_t* frame, int32_t requestLength, int32_t replyLength);

  // Reads length (0..255) bytes of the converter's memory at a 24-bit address
  // into destination. checkMode & 3 selects the check bytes the converter
  // appends: 1 a FrameChecksum, 2 the WordCrc32 (least significant byte first),
  // 0 or 3 none. The data is copied before it is checked, so destination holds
  // it even when the result is ResultBadChecksum.
  int ReadMemory(uint32_t address, uint8_t flags, int32_t length, uint8_t* destination,
                 uint8_t checkMode, uint8_t option);

  // Writes count (1..255) bytes at a 24-bit address. A reply 0xFF to a write of
  // more than one byte is ResultRefused; the reply to a one-byte write is not
  // examined.
  int WriteMemory(uint32_t address, uint8_t flags, const uint8_t* data, uint8_t count);
};

// Sends the bare header [0x60, address, command, checksum] after discarding
// pending input, and waits for nothing. Address 0 sends and discards nothing.
void SendShortCommand(PortId port, uint8_t address, uint8_t command);
