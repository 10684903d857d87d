#pragma once
// The two integrity checks of the converter's frames.

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
// zero bytes. Updates CrcState.
void WordCrc32(const uint8_t* data, uint16_t count);
