#include "protocol/frame_describe.h"

#include <cstdio>

#include "protocol/checksum.h"
#include "protocol/device_channel.h"
#include "protocol/firmware_record.h"

namespace {

constexpr uint32_t kSettingsAddress = 0;
constexpr uint32_t kSettingsLength = 6;
constexpr uint32_t kClosingAddress = 0x8FFFFF;
constexpr uint32_t kParameterEnd = 12;  // header and parameter block

enum class Asked : uint8_t { Nothing, Read, Write, Record };

// The last request sent on a port, to name what comes back.
struct Pending {
  Asked asked = Asked::Nothing;
  const char* name = "";    // "settings read", "closing write", ...
  const char* answer = "";  // what the answer to a read holds: "settings", "memory data"
  uint32_t length = 0;    // bytes read or written
  uint8_t checkMode = 0;  // reads: the check bytes the answer carries
  bool recordNext = false;  // a record command went out: the record follows
  bool dataNext = false;    // a write's parameter block went out: its data block follows
};

Pending gPending[PortSlotCount];

uint32_t AddressOf(const uint8_t* parameters) {
  return static_cast<uint32_t>(parameters[3]) << 16 | static_cast<uint32_t>(parameters[2]) << 8 | parameters[4];
}

const char* CheckName(uint8_t checkMode) {
  switch (checkMode & 3) {
    case 1: return "checksum";
    case 2: return "CRC";
    default: return "no check";
  }
}

// The check bytes after length bytes of data: "CRC ok", "CRC failure", or ""
// when the answer carries none.
const char* CheckVerdict(const uint8_t* data, uint32_t length, uint8_t checkMode) {
  switch (checkMode & 3) {
    case 1: return FrameChecksum(data, static_cast<int32_t>(length)) == data[length] ? "checksum ok" : "checksum failure";
    case 2: {
      const uint8_t* c = data + length;
      const uint32_t sent = static_cast<uint32_t>(c[0]) | static_cast<uint32_t>(c[1]) << 8 |
                            static_cast<uint32_t>(c[2]) << 16 | static_cast<uint32_t>(c[3]) << 24;
      return WordCrc32Update(0xFFFFFFFFu, data, length) == sent ? "CRC ok" : "CRC failure";
    }
    default: return "";
  }
}

uint32_t CheckLength(uint8_t checkMode) {
  switch (checkMode & 3) {
    case 1: return 1;
    case 2: return 4;
    default: return 0;
  }
}

void Request(Pending& p, const uint8_t* b, uint32_t count, char* text, size_t size) {
  const uint8_t command = b[2];
  p = Pending{};
  if (command == UpdateEnterCommand) {
    std::snprintf(text, size, "update on");
  } else if (command == UpdateLeaveCommand) {
    std::snprintf(text, size, "update off");
  } else if (command == RecordCommand) {
    p.recordNext = true;
    std::snprintf(text, size, "record follows");
  } else if (count >= kParameterEnd && (command & 0x48) == ReadMemoryCommand) {
    const uint32_t address = AddressOf(b + 4);
    const bool settings = address == kSettingsAddress && b[10] == kSettingsLength;
    p.asked = Asked::Read;
    p.name = settings ? "settings read" : "memory read";
    p.answer = settings ? "settings" : "memory data";
    p.length = b[10];
    p.checkMode = b[4];
    std::snprintf(text, size, "%s: address %06X, %u byte%s, %s", p.name, address, p.length, p.length == 1 ? "" : "s",
                  CheckName(p.checkMode));
  } else if (count >= kParameterEnd && (command & 0x48) == WriteMemoryCommand) {
    const uint32_t address = AddressOf(b + 4);
    const char* name = address == kSettingsAddress && b[10] == kSettingsLength ? "settings write"
                       : address == kClosingAddress && b[10] == 1         ? "closing write"
                                                                          : "memory write";
    p.asked = Asked::Write;
    p.name = name;
    p.length = b[10];
    p.dataNext = p.length > 1 && count == kParameterEnd;  // a long write goes out in two parts
    std::snprintf(text, size, "%s: address %06X, %u byte%s", name, address, p.length, p.length == 1 ? "" : "s");
  } else {
    std::snprintf(text, size, "command %02X", command);
  }
}

void Out(Pending& p, const uint8_t* b, uint32_t count, char* text, size_t size) {
  if (p.recordNext && count == sizeof(FirmwareRecord)) {
    p = Pending{};
    p.asked = Asked::Record;
    p.name = "record";
    std::snprintf(text, size, "record page %u index %u", b[0] | b[1] << 8, b[2]);
  } else if (p.dataNext) {
    p.dataNext = false;
    std::snprintf(text, size, "%s: data", p.name);
  } else if (count >= 4 && b[0] == FrameStart && FrameChecksum(b, 3) == b[3]) {
    Request(p, b, count, text, size);
  } else {
    p = Pending{};
    std::snprintf(text, size, "not a request");
  }
}

void In(const Pending& p, const uint8_t* b, uint32_t count, char* text, size_t size) {
  const uint32_t checkLength = CheckLength(p.checkMode);
  if (p.asked == Asked::Read && count >= p.length + checkLength) {
    std::snprintf(text, size, "%s%s%s", p.answer, checkLength > 0 ? ", " : "", CheckVerdict(b, p.length, p.checkMode));
  } else if (p.asked == Asked::Write) {
    std::snprintf(text, size, "%s", p.length > 1 && count == 1 && b[0] == 0xFF ? "refusal" : "acknowledgement");
  } else if (p.asked == Asked::Record) {
    std::snprintf(text, size, "record acknowledgement");
  } else {
    std::snprintf(text, size, "unexpected bytes");
  }
}

}  // namespace

void FrameDescribe(const PortTraceEvent& event, char* text, size_t size) {
  if (event.port == 0 || event.port > PortSlotCount) return;
  Pending& p = gPending[event.port - 1];
  switch (event.kind) {
    case TraceOut: Out(p, event.bytes, event.count, text, size); break;
    case TraceIn: In(p, event.bytes, event.count, text, size); break;
    case TraceTimeout:
      std::snprintf(text, size, "no %s to %s: %u of %u bytes in %d ms",
                    p.asked == Asked::Record ? "acknowledgement" : "answer",
                    p.asked == Asked::Nothing ? "anything" : p.name, event.count, event.wanted, event.waitedMs);
      break;
    case TraceClose: p = Pending{}; break;
  }
}
