#pragma once
// The two integrity checks of the converter's frames.

#include <cstddef>
#include <cstdint>

// 8-bit checksum: start 0xFF; per byte x = rotl8(x ^ b, 1). A length of 0 or less
// gives 0xFF.
uint8_t FrameChecksum(const uint8_t* bytes, int32_t length);

// Running state of WordCrc32. The caller presets it to 0xFFFFFFFF, calls
// WordCrc32 over the block, and reads the result here (no final inversion).
// One state for the whole program: one computation at a time.
extern uint32_t CrcState;

// CRC with polynomial 0x04C11DB7 over 32-bit little-endian words fed most
// significant byte first; a tail of 1 to 3 bytes counts as a word completed with
// zero bytes, fed first. Returns the state after data, starting from state
// (0xFFFFFFFF for a new computation; no final inversion). Keeps no state of
// its own: any thread may call it.
uint32_t WordCrc32Update(uint32_t state, const uint8_t* data, size_t count);

// The same over CrcState: updates it.
void WordCrc32(const uint8_t* data, uint16_t count);
