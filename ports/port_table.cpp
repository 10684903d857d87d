#include "ports/port_table.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/system_error.h"
#include "ports/port_trace.h"
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

// Records the kind of a failure and, for a service's errno value, the
// system's own code and wording behind it.
void Fail(PortFailureKind kind, int serviceError = 0) {
  gLastFailure.kind = kind;
  gLastFailure.peerClosed = false;
  const SystemError system = serviceError != 0 ? SystemErrorOf(serviceError) : SystemError{};
  gLastFailure.systemError = system.code;
  std::snprintf(gLastFailure.systemText, sizeof gLastFailure.systemText, "%s", system.text);
}

void FailSerial(int error) {
  static constexpr PortFailureKind kKinds[] = {PortFailBusy, PortFailAccess, PortFailNoDevice, PortFailOther};
  Fail(kKinds[SerialErrorKindOf(error)], error);
}

// A scheme ("rfc2217://") in any mix of cases, as URL schemes are read.
bool HasScheme(const char* name, const char* scheme) {
  for (; *scheme != '\0'; ++name, ++scheme) {
    const char c = *name >= 'A' && *name <= 'Z' ? static_cast<char>(*name - 'A' + 'a') : *name;
    if (c != *scheme) return false;
  }
  return true;
}

int FailTcp(PortFailureKind kind, int error = 0) {
  Fail(kind, error);
  return PortOpenTcpFailed;
}

// The transport a name asks for, and the slot's kind. Returns 0, a layer
// result, or the serial service's code; the reason is in gLastFailure.
int OpenTransport(const char* name, PortKind* kind, PortTransport** transport) {
  if (std::strcmp(name, "STUB") == 0) {
    *kind = KindStub;
    *transport = new (std::nothrow) StubTransport;
  } else if (std::strncmp(name, "TCPS_", kPrefixLength) == 0) {
    // A TCP name that could be read more than one way is refused here, not
    // taken for some other port or address.
    *kind = KindTcpServer;
    uint16_t port = 0;
    if (TcpParseServerName(name + kPrefixLength, &port) != 0) return FailTcp(PortFailBadName);
    TcpServerPort* server = nullptr;
    const int error = TcpServerPort::Open(port, &server);
    if (error != 0) return FailTcp(PortFailNetwork, error);
    *transport = server;
  } else if (std::strncmp(name, "TCPC_", kPrefixLength) == 0) {
    *kind = KindTcpClient;
    uint32_t address = 0;
    uint16_t port = 0;
    if (TcpParseClientName(name + kPrefixLength, &address, &port) != 0) return FailTcp(PortFailBadName);
    TcpClientPort* client = nullptr;
    const int error = TcpClientPort::Open(address, port, &client);
    if (error != 0) return FailTcp(PortFailNetwork, error);
    *transport = client;
  } else if (HasScheme(name, Rfc2217Prefix)) {
    *kind = KindRfc2217;
    static constexpr PortFailureKind kKinds[] = {PortFailBadName, PortFailNoHost, PortFailHostLookup,
                                                 PortFailHostLookup, PortFailNetwork};
    Rfc2217OpenFailure why = Rfc2217NoSocket;
    int error = 0;
    *transport = Rfc2217Port::Open(name + sizeof Rfc2217Prefix - 1, &why, &error);
    if (*transport == nullptr && why == Rfc2217LookupSlow) {
      FailTcp(kKinds[why]);
      gLastFailure.waitedMs = Rfc2217LookupMostMs;
      return PortOpenTcpFailed;
    }
    if (*transport == nullptr) return FailTcp(kKinds[why], error);
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

namespace {

void FailLink(PortFailureKind kind, PortId id, const PortLinkEnd* end) {
  Fail(kind);
  if (end != nullptr && end->ended) {
    gLastFailure.peerClosed = end->closed;
    gLastFailure.systemError = end->system.code;
    std::snprintf(gLastFailure.systemText, sizeof gLastFailure.systemText, "%s", end->system.text);
  }
  const PortSlot* slot = PortSlotOf(id);
  std::snprintf(gLastFailure.portName, sizeof gLastFailure.portName, "%s", slot != nullptr ? slot->name : "");
}

}  // namespace

void PortNoteNoLink(PortId id, int32_t waitedMs, const PortLinkEnd* end) {
  FailLink(PortFailNoLink, id, end);
  gLastFailure.waitedMs = waitedMs;
}

void PortNoteLinkLost(PortId id, const PortLinkEnd& end) { FailLink(PortFailLinkLost, id, &end); }

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
  if (name != nullptr) std::snprintf(gLastFailure.portName, sizeof gLastFailure.portName, "%s", name);
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
  if (PortTraceOn()) PortTraceClose(id, slot->name);
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

bool PortNameIsNetwork(const char* name) {
  return std::strncmp(name, "TCPS_", kPrefixLength) == 0 || std::strncmp(name, "TCPC_", kPrefixLength) == 0 ||
         HasScheme(name, Rfc2217Prefix);
}
