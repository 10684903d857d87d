#include "ports/rx_ring.h"

uint32_t RxRingCount(const RxRing& ring) {
  const int diff = static_cast<int>(ring.write) - static_cast<int>(ring.read);
  return static_cast<uint32_t>(diff >= 0 ? diff : diff + RxRingSize);
}

uint32_t RxRingAppend(RxRing& ring, const uint8_t* data, uint32_t count) {
  uint32_t stored = 0;
  while (stored < count) {
    uint16_t next = static_cast<uint16_t>(ring.write + 1);
    if (next == RxRingSize) next = 0;
    if (next == ring.read) break;  // full: the rest is dropped
    ring.storage[ring.write] = data[stored++];
    ring.write = next;
  }
  return stored;
}

uint32_t RxRingTake(RxRing& ring, uint8_t* out, uint32_t count) {
  uint32_t taken = 0;
  while (taken < count && ring.read != ring.write) {
    out[taken++] = ring.storage[ring.read];
    ring.read = static_cast<uint16_t>(ring.read + 1 == RxRingSize ? 0 : ring.read + 1);
  }
  return taken;
}

void RxRingEmpty(RxRing& ring) { ring.read = ring.write; }
