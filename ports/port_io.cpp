#include "ports/port_io.h"

#include <cstring>

#include "platform/serial.h"
#include "platform/time.h"
#include "ports/ms_clock.h"
#include "ports/rx_ring.h"
#include "ports/tcp.h"

namespace {

constexpr uint32_t kPumpChunk = 512;
constexpr int kFlushRounds = 64;

// The slot index of a PortId that can carry data, or -1 (no open slot, or stub).
int LiveIndex(PortId id) {
  const PortSlot* slot = PortSlotOf(id);
  if (slot == nullptr || slot->kind == KindStub) return -1;
  return id - 1;
}

// TCP ports advance their connection or take a waiting peer on every operation.
void ServicePort(int index) {
  if (PortTable[index].kind == KindTcpServer) TcpAccept(index);
  if (PortTable[index].kind == KindTcpClient) TcpConnectStep(index);
}

// Reads what the serial service reports as queued; keep == false discards it.
void DrainSerialQueue(PortSlot& slot, bool keep) {
  uint32_t queued = 0;
  if (SerialQueued(slot.handle, &queued) != 0) return;
  uint8_t chunk[kPumpChunk];
  while (queued > 0) {
    uint32_t got = 0;
    SerialReadQueued(slot.handle, chunk, queued < kPumpChunk ? queued : kPumpChunk, &got);
    if (got == 0) break;
    if (keep) RxRingAppend(slot, chunk, got);
    queued -= got;
  }
}

}  // namespace

uint32_t RxRingCount(const PortSlot& slot) {
  const int diff = static_cast<int>(slot.ringWrite) - static_cast<int>(slot.ringRead);
  return static_cast<uint32_t>(diff >= 0 ? diff : diff + RxRingSize);
}

uint32_t RxRingAppend(PortSlot& slot, const uint8_t* data, uint32_t count) {
  uint32_t stored = 0;
  while (stored < count) {
    uint16_t next = static_cast<uint16_t>(slot.ringWrite + 1);
    if (next == RxRingSize) next = 0;
    if (next == slot.ringRead) break;  // full: the rest is dropped
    slot.ring[slot.ringWrite] = data[stored++];
    slot.ringWrite = next;
  }
  return stored;
}

uint32_t RxRingTake(PortSlot& slot, uint8_t* out, uint32_t count) {
  uint32_t taken = 0;
  while (taken < count && slot.ringRead != slot.ringWrite) {
    out[taken++] = slot.ring[slot.ringRead];
    slot.ringRead = static_cast<uint16_t>(slot.ringRead + 1 == RxRingSize ? 0 : slot.ringRead + 1);
  }
  return taken;
}

void RxRingEmpty(PortSlot& slot) { slot.ringRead = slot.ringWrite; }

void PortPump(int index) {
  PortSlot& slot = PortTable[index];
  switch (slot.kind) {
    case KindSerial: DrainSerialQueue(slot, true); break;
    case KindTcpClient:
      if (slot.connected != 0) TcpReceive(index);
      break;
    case KindTcpServer: TcpReceive(index); break;
    case KindStub: break;
  }
}

int32_t PortAvailable(PortId id) {
  const int index = LiveIndex(id);
  if (index < 0) return 0;
  ServicePort(index);
  PortPump(index);
  return static_cast<int32_t>(RxRingCount(PortTable[index]));
}

int PortReadExact(PortId id, uint8_t* buffer, int32_t count) {
  const int index = LiveIndex(id);
  if (index < 0 || count < 0) return 0;
  ServicePort(index);
  PortPump(index);
  PortSlot& slot = PortTable[index];
  if (RxRingCount(slot) < static_cast<uint32_t>(count)) return 0;
  RxRingTake(slot, buffer, static_cast<uint32_t>(count));
  return 1;
}

int32_t PortRead(PortId id, uint8_t* buffer, int32_t count, int32_t timeoutMs) {
  const int index = LiveIndex(id);
  if (index < 0 || count < 0) return 0;
  PortSlot& slot = PortTable[index];

  // Only what earlier operations gathered is taken here; no pump runs first.
  const uint32_t taken = RxRingTake(slot, buffer, static_cast<uint32_t>(count));
  if (taken == static_cast<uint32_t>(count)) return count;
  const int32_t missing = count - static_cast<int32_t>(taken);
  uint8_t* rest = buffer + taken;
  if (timeoutMs < 0) timeoutMs = 0;

  if (slot.kind == KindSerial) {
    const SerialTimeouts timeouts = {0, 0, static_cast<uint32_t>(timeoutMs), 20, 20};
    if (SerialSetTimeouts(slot.handle, timeouts) != 0) return 0;
    uint32_t got = 0;
    SerialRead(slot.handle, rest, static_cast<uint32_t>(missing), &got);
    if (got == static_cast<uint32_t>(missing)) return 1;
    RxRingAppend(slot, rest, got);  // the next read finds what did arrive
    return 0;
  }

  const uint32_t deadline = MsClockTick32() + static_cast<uint32_t>(timeoutMs);
  while (PortAvailable(id) < missing) {
    PlatformSleepMs(10);
    if (TickReached32(deadline)) return 0;
  }
  PortReadExact(id, rest, missing);
  return missing;
}

int PortReadByte(PortId id, uint8_t* buffer, uint16_t timeoutMs) {
  if (LiveIndex(id) < 0) return -1;
  const uint16_t deadline = static_cast<uint16_t>(MsClockTick16() + timeoutMs);
  while (PortAvailable(id) == 0) {
    PlatformSleepMs(1);
    if (TickReached16(deadline)) return 0;
  }
  PortReadExact(id, buffer, 1);
  return 1;
}

void PortFlushInput(PortId id) {
  const int index = LiveIndex(id);
  if (index < 0) return;
  ServicePort(index);
  PortSlot& slot = PortTable[index];
  RxRingEmpty(slot);
  if (slot.kind == KindSerial) {
    DrainSerialQueue(slot, false);
    return;
  }
  // What the sockets already hold is input too: an answer that came after its
  // time-out must not be taken for the answer to the next request. A peer
  // that never stops sending cannot keep the flush going.
  for (int round = 0; round < kFlushRounds; ++round) {
    PortPump(index);
    if (RxRingCount(slot) == 0) break;
    RxRingEmpty(slot);
  }
}

void PortWrite(PortId id, const uint8_t* data, uint32_t count) {
  const int index = LiveIndex(id);
  if (index < 0) return;
  PortSlot& slot = PortTable[index];
  if (slot.kind == KindSerial) {
    uint32_t written = 0;
    SerialWrite(slot.handle, data, count, &written);
    return;
  }
  ServicePort(index);
  TcpSend(index, data, count);
}

int PortWaitLink(PortId id, int32_t timeoutMs) {
  const PortSlot* slot = PortSlotOf(id);
  if (slot == nullptr) return 0;
  if (slot->kind != KindTcpClient && slot->kind != KindTcpServer) return 1;
  const int index = id - 1;
  const uint32_t deadline = MsClockTick32() + static_cast<uint32_t>(timeoutMs > 0 ? timeoutMs : 0);
  for (;;) {
    ServicePort(index);
    if (slot->kind == KindTcpClient && slot->connected != 0) return 1;
    if (slot->kind == KindTcpServer) {
      for (const int32_t peer : slot->clients)
        if (peer >= 0) return 1;
    }
    if (TickReached32(deadline)) {
      PortNoteNoLink();
      return 0;
    }
    PlatformSleepMs(1);
  }
}
