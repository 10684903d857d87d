#pragma once
// The receive ring of an open port: storage of RxRingSize bytes with a write
// and a read index that wrap at RxRingSize. It holds at most RxRingSize - 1
// bytes; bytes that arrive when it is full are dropped, so the write index
// never overtakes the read index and the count stays true.

#include <cstdint>

constexpr int RxRingSize = 10000;

struct RxRing {
  uint8_t* storage;  // owned by the port's slot while it is open
  uint16_t write;    // next position written, 0 to RxRingSize - 1
  uint16_t read;     // next position read, 0 to RxRingSize - 1
};

uint32_t RxRingCount(const RxRing& ring);

// Appends as many of the bytes as fit; returns how many were stored.
uint32_t RxRingAppend(RxRing& ring, const uint8_t* data, uint32_t count);

// Takes up to count bytes; returns how many were taken.
uint32_t RxRingTake(RxRing& ring, uint8_t* out, uint32_t count);

void RxRingEmpty(RxRing& ring);
