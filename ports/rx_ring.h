#pragma once
// The receive ring of a slot: storage of RxRingSize bytes with a write and a read
// index that wrap at RxRingSize. It holds at most RxRingSize - 1 bytes; bytes
// that arrive when it is full are dropped, so the write index never overtakes
// the read index and the count stays true.

#include <cstdint>

#include "ports/port_table.h"

uint32_t RxRingCount(const PortSlot& slot);

// Appends as many of the bytes as fit; returns how many were stored.
uint32_t RxRingAppend(PortSlot& slot, const uint8_t* data, uint32_t count);

// Takes up to count bytes; returns how many were taken.
uint32_t RxRingTake(PortSlot& slot, uint8_t* out, uint32_t count);

void RxRingEmpty(PortSlot& slot);
