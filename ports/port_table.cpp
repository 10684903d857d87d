#include "ports/port_table.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/serial.h"
#include "ports/tcp.h"

PortSlot PortTable[PortSlotCount];

namespace {

bool gInitialised = false;
PortFailure gLastFailure{};
std::FILE* gLog = nullptr;  // "port.out", open for the rest of the process

// "\r\nВход в программу\r\n" in code page CP866, as the log has always held it.
constexpr uint8_t kBanner[] = {0x0D, 0x0A, 0x82, 0xE5, 0xAE, 0xA4, 0x20, 0xA2, 0x20, 0xAF,
                               0xE0, 0xAE, 0xA3, 0xE0, 0xA0, 0xAC, 0xAC, 0xE3, 0x0D, 0x0A};

// The computer's side of the converter's line; the converter's own RS-485
// settings are a different record, reached through the protocol.
constexpr SerialLine kConverterLine = {4800, 8, 'N', 1, true};
constexpr SerialTimeouts kOpenTimeouts = {2, 2, 2, 20, 20};

void Fail(PortFailureKind kind, int systemError = 0) {
  gLastFailure.kind = kind;
  gLastFailure.systemError = systemError;
  gLastFailure.systemText[0] = '\0';
}

void FailSerial(int error) {
  static constexpr PortFailureKind kKinds[] = {PortFailBusy, PortFailAccess, PortFailNoDevice, PortFailOther};
  Fail(kKinds[SerialErrorKindOf(error)], error);
  SerialErrorText(error, gLastFailure.systemText, sizeof gLastFailure.systemText);
}

int OpenSerial(PortSlot& slot, const char* name) {
  slot.kind = KindSerial;
  int32_t handle = -1;
  int error = SerialOpen(name, &handle, &gLastFailure.holder);
  if (error != 0) return error;
  error = SerialSetTimeouts(handle, kOpenTimeouts);
  if (error == 0) error = SerialSetLine(handle, kConverterLine);
  if (error != 0) {
    SerialClose(handle);
    return error;
  }
  slot.handle = handle;
  return 0;
}

void CloseTransport(int index) {
  PortSlot& slot = PortTable[index];
  switch (slot.kind) {
    case KindSerial: SerialClose(slot.handle); break;
    case KindTcpServer:
    case KindTcpClient: TcpClose(index); break;
    case KindStub: break;
  }
}

}  // namespace

void PortLayerInit() {
  if (gInitialised) return;
  std::memset(PortTable, 0, sizeof PortTable);
  gLog = std::fopen("port.out", "ab");
  if (gLog != nullptr) {
    std::fwrite(kBanner, 1, sizeof kBanner, gLog);
    std::fflush(gLog);  // a program that is killed later still leaves its banner
  }
  gInitialised = true;
}

const PortFailure& PortLastFailure() { return gLastFailure; }

void PortNoteNoLink() { Fail(PortFailNoLink); }

int PortOpen(PortId& id, const char* name) {
  gLastFailure = PortFailure{};
  Fail(PortFailOther);
  if (!gInitialised) return PortOpenNotInitialised;
  int index = 0;
  while (index < PortSlotCount && PortTable[index].open != 0) ++index;
  if (index == PortSlotCount) {
    Fail(PortFailNoSlot);
    return PortOpenNoFreeSlot;
  }
  Fail(PortFailBadName);
  if (name == nullptr || name[0] == '\0') return PortOpenEmptyName;
  if (std::strlen(name) >= PortNameSize) {
    id = 0;
    return ENAMETOOLONG;
  }

  PortSlot& slot = PortTable[index];
  std::memset(&slot, 0, sizeof slot);
  std::memcpy(slot.name, name, std::strlen(name) + 1);

  if (std::strcmp(name, "STUB") == 0) {
    slot.kind = KindStub;
  } else if (std::strncmp(name, "TCPS_", 5) == 0) {
    Fail(PortFailNetwork);
    if (TcpServerOpen(index, name) != 0) return PortOpenTcpFailed;
  } else if (std::strncmp(name, "TCPC_", 5) == 0) {
    uint32_t address = 0;
    uint16_t port = 0;
    Fail(TcpParseClientName(name + 5, &address, &port) == 0 ? PortFailNetwork : PortFailBadName);
    if (TcpClientOpen(index, name) != 0) return PortOpenTcpFailed;
  } else {
    const int error = OpenSerial(slot, name);
    if (error != 0) {
      FailSerial(error);
      id = 0;
      return error;
    }
  }

  slot.ring = new (std::nothrow) uint8_t[RxRingSize];
  if (slot.ring == nullptr) {
    CloseTransport(index);
    Fail(PortFailOther, ENOMEM);
    id = 0;
    return ENOMEM;
  }
  slot.ringWrite = 0;
  slot.ringRead = 0;
  id = static_cast<PortId>(index + 1);
  slot.open = 1;
  gLastFailure = PortFailure{};
  return PortOpenOk;
}

int PortClose(PortId id) {
  PortSlot* slot = PortSlotOf(id);
  if (slot == nullptr) return 1;
  CloseTransport(id - 1);
  delete[] slot->ring;
  slot->ring = nullptr;
  slot->open = 0;
  return 1;
}

PortSlot* PortSlotOf(PortId id) {
  if (id == 0 || id > PortSlotCount) return nullptr;
  PortSlot& slot = PortTable[id - 1];
  return slot.open != 0 ? &slot : nullptr;
}
