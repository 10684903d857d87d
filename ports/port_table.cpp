#include "ports/port_table.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "ports/port_transport.h"
#include "ports/rfc2217.h"
#include "ports/serial_transport.h"
#include "ports/tcp.h"

PortSlot PortTable[PortSlotCount];

namespace {

bool gInitialised = false;
PortFailure gLastFailure{};
std::FILE* gLog = nullptr;  // "port.out", open for the rest of the process

// "\r\nВход в программу\r\n" in code page CP866, as the log has always held it.
constexpr uint8_t kBanner[] = {0x0D, 0x0A, 0x82, 0xE5, 0xAE, 0xA4, 0x20, 0xA2, 0x20, 0xAF,
                               0xE0, 0xAE, 0xA3, 0xE0, 0xA0, 0xAC, 0xAC, 0xE3, 0x0D, 0x0A};

constexpr size_t kPrefixLength = 5;  // "TCPC_" or "TCPS_"

// Writes vanish, reads never deliver.
class StubTransport final : public PortTransport {
 public:
  void Pump(RxRing&) override {}
  int32_t ReadRest(RxRing&, uint8_t*, int32_t, int32_t) override { return 0; }
  void DiscardInput(RxRing&) override {}
  void Write(const uint8_t*, uint32_t) override {}
  bool Delivers() const override { return false; }
};

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

// The transport a name asks for, and the slot's kind. Returns 0, a layer
// result, or the serial service's code; the reason is in gLastFailure.
int OpenTransport(const char* name, PortKind* kind, PortTransport** transport) {
  if (std::strcmp(name, "STUB") == 0) {
    *kind = KindStub;
    *transport = new (std::nothrow) StubTransport;
  } else if (std::strncmp(name, "TCPS_", kPrefixLength) == 0) {
    *kind = KindTcpServer;
    Fail(PortFailNetwork);
    *transport = TcpServerPort::Open(name + kPrefixLength);
    if (*transport == nullptr) return PortOpenTcpFailed;
  } else if (std::strncmp(name, "TCPC_", kPrefixLength) == 0) {
    *kind = KindTcpClient;
    uint32_t address = 0;
    uint16_t port = 0;
    Fail(TcpParseClientName(name + kPrefixLength, &address, &port) == 0 ? PortFailNetwork : PortFailBadName);
    *transport = TcpClientPort::Open(name + kPrefixLength);
    if (*transport == nullptr) return PortOpenTcpFailed;
  } else if (std::strncmp(name, Rfc2217Prefix, sizeof Rfc2217Prefix - 1) == 0) {
    *kind = KindRfc2217;
    static constexpr PortFailureKind kKinds[] = {PortFailBadName, PortFailNoHost, PortFailNetwork};
    Rfc2217OpenFailure why = Rfc2217NoSocket;
    int error = 0;
    *transport = Rfc2217Port::Open(name + sizeof Rfc2217Prefix - 1, &why, &error);
    if (*transport == nullptr) {
      Fail(kKinds[why], error);
      return PortOpenTcpFailed;
    }
  } else {
    *kind = KindSerial;
    SerialTransport* serial = nullptr;
    const int error = SerialTransport::Open(name, &serial, &gLastFailure.holder);
    if (error != 0) {
      FailSerial(error);
      return error;
    }
    *transport = serial;
  }
  if (*transport != nullptr) return 0;
  Fail(PortFailOther, ENOMEM);
  return ENOMEM;
}

}  // namespace

const PortFailure& PortLastFailure() { return gLastFailure; }

void PortNoteNoLink() { Fail(PortFailNoLink); }

void PortNoteNoLineControl() { Fail(PortFailNoLineControl); }

const char* PortOpenResultName(int result) {
  switch (result) {
    case PortOpenOk: return "ok";
    case PortOpenTcpFailed: return "tcp port failed";
    case PortOpenNoFreeSlot: return "no free slot";
    case PortOpenEmptyName: return "empty name";
    case PortOpenNotInitialised: return "port layer not initialised";
    default: return "system error";
  }
}

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

void PortLayerReset() {
  for (int index = 0; index < PortSlotCount; ++index) PortClose(static_cast<PortId>(index + 1));
  if (gLog != nullptr) std::fclose(gLog);
  gLog = nullptr;
  gLastFailure = PortFailure{};
  gInitialised = false;
}

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
  PortTransport* transport = nullptr;
  const int result = OpenTransport(name, &slot.kind, &transport);
  if (result != 0) {
    if (result != PortOpenTcpFailed) id = 0;
    return result;
  }

  slot.rx.storage = new (std::nothrow) uint8_t[RxRingSize];
  if (slot.rx.storage == nullptr) {
    delete transport;
    Fail(PortFailOther, ENOMEM);
    id = 0;
    return ENOMEM;
  }
  slot.transport = transport;
  slot.rx.write = 0;
  slot.rx.read = 0;
  id = static_cast<PortId>(index + 1);
  slot.open = 1;
  gLastFailure = PortFailure{};
  return PortOpenOk;
}

int PortClose(PortId id) {
  PortSlot* slot = PortSlotOf(id);
  if (slot == nullptr) return 1;
  delete slot->transport;
  slot->transport = nullptr;
  delete[] slot->rx.storage;
  slot->rx.storage = nullptr;
  slot->open = 0;
  return 1;
}

PortSlot* PortSlotOf(PortId id) {
  if (id == 0 || id > PortSlotCount) return nullptr;
  PortSlot& slot = PortTable[id - 1];
  return slot.open != 0 ? &slot : nullptr;
}

bool PortIsNetwork(PortId id) {
  const PortSlot* slot = PortSlotOf(id);
  return slot != nullptr && slot->transport->IsNetwork();
}
