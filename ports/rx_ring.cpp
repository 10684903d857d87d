#include "ports/rx_ring.h"

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
