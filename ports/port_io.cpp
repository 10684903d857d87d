#include "ports/port_io.h"

#include "platform/time.h"
#include "ports/ms_clock.h"
#include "ports/port_trace.h"
#include "ports/port_transport.h"
#include "ports/rx_ring.h"

namespace {

// The slot of a PortId that can deliver input, or nullptr (no open slot, or a
// stub).
PortSlot* LiveSlot(PortId id) {
  PortSlot* slot = PortSlotOf(id);
  return slot != nullptr && slot->transport->Delivers() ? slot : nullptr;
}

// The far end was heard from (an answer came, or the link stood): connections
// lost before no longer explain a failed read.
void Heard(PortSlot& slot) {
  const PortLinkHistory* history = slot.transport->LinkHistory();
  if (history != nullptr) slot.lossesHeard = history->losses;
}

// A read that failed: a connection that ended since the far end was last
// heard from is the reason, or a line the far end did not set as asked.
void ReadFailed(PortId id, PortSlot& slot) {
  const PortLinkHistory* history = slot.transport->LinkHistory();
  if (history != nullptr && history->losses != slot.lossesHeard) {
    slot.lossesHeard = history->losses;
    PortNoteLinkLost(id, history->lastLoss);
  } else if (!slot.transport->LineSet()) {
    PortNoteNoLineControl();
  }
}

}  // namespace

void PortPump(int index) {
  PortSlot& slot = PortTable[index];
  if (slot.open != 0) slot.transport->Pump(slot.rx);
}

int32_t PortAvailable(PortId id) {
  PortSlot* slot = LiveSlot(id);
  if (slot == nullptr) return 0;
  slot->transport->Service();
  slot->transport->Pump(slot->rx);
  return static_cast<int32_t>(RxRingCount(slot->rx));
}

int PortReadExact(PortId id, uint8_t* buffer, int32_t count) {
  PortSlot* slot = LiveSlot(id);
  if (slot == nullptr || count < 0) return 0;
  slot->transport->Service();
  slot->transport->Pump(slot->rx);
  if (RxRingCount(slot->rx) < static_cast<uint32_t>(count)) return 0;
  RxRingTake(slot->rx, buffer, static_cast<uint32_t>(count));
  Heard(*slot);
  if (PortTraceOn()) PortTraceRead(id, slot->name, buffer, static_cast<uint32_t>(count), 0, true, 0, slot->rx);
  return 1;
}

int32_t PortRead(PortId id, uint8_t* buffer, int32_t count, int32_t timeoutMs) {
  PortSlot* slot = LiveSlot(id);
  if (slot == nullptr || count < 0) return 0;
  // Only what earlier operations gathered is taken here; no pump runs first.
  const uint32_t taken = RxRingTake(slot->rx, buffer, static_cast<uint32_t>(count));
  const int32_t done = taken == static_cast<uint32_t>(count)
                           ? count
                           : slot->transport->ReadRest(slot->rx, buffer + taken, count - static_cast<int32_t>(taken),
                                                       timeoutMs > 0 ? timeoutMs : 0);
  if (done != 0)
    Heard(*slot);
  else
    ReadFailed(id, *slot);
  if (PortTraceOn())
    PortTraceRead(id, slot->name, buffer, static_cast<uint32_t>(count), taken, done != 0, timeoutMs, slot->rx);
  return done;
}

int PortReadByte(PortId id, uint8_t* buffer, uint16_t timeoutMs) {
  PortSlot* slot = LiveSlot(id);
  if (slot == nullptr) return -1;
  const uint16_t deadline = MsClockDeadline16(timeoutMs);
  // The deadline is read before a last look: a process that was held up past
  // it (stopped, or starved on a busy machine) still takes the byte that came
  // meanwhile.
  for (bool last = false; PortAvailable(id) == 0; last = TickReached16(deadline) != 0) {
    if (last) {
      ReadFailed(id, *slot);
      if (PortTraceOn()) PortTraceRead(id, slot->name, buffer, 1, 0, false, timeoutMs, slot->rx);
      return 0;
    }
    PlatformSleepMs(1);
  }
  PortReadExact(id, buffer, 1);
  return 1;
}

void PortFlushInput(PortId id) {
  PortSlot* slot = LiveSlot(id);
  if (slot == nullptr) return;
  slot->transport->Service();
  RxRingEmpty(slot->rx);
  slot->transport->DiscardInput(slot->rx);
}

void PortWrite(PortId id, const uint8_t* data, uint32_t count) {
  PortSlot* slot = PortSlotOf(id);
  if (slot == nullptr) return;
  if (PortTraceOn()) PortTraceWrite(id, slot->name, data, count);
  slot->transport->Service();
  slot->transport->Write(data, count);
}

int PortWaitLink(PortId id, int32_t timeoutMs) {
  PortSlot* slot = PortSlotOf(id);
  if (slot == nullptr) return 0;
  PortTransport& transport = *slot->transport;
  const uint32_t deadline = MsClockDeadline32(static_cast<uint32_t>(timeoutMs > 0 ? timeoutMs : 0));
  for (bool last = false;; last = TickReached32(deadline) != 0) {
    transport.Service();
    if (transport.Linked()) {
      Heard(*slot);
      if (!transport.LineSet()) PortNoteNoLineControl();
      return 1;
    }
    if (last) {
      const PortLinkHistory* history = transport.LinkHistory();
      PortNoteNoLink(id, timeoutMs, history != nullptr ? &history->lastEnd : nullptr);
      return 0;
    }
    PlatformSleepMs(1);
  }
}
