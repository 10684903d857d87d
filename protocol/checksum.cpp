#include "protocol/checksum.h"

uint32_t CrcState = 0xFFFFFFFFu;

namespace {

uint32_t gCrcTable[256];
uint8_t gTableBuilt = 0;

void BuildCrcTable() {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t v = i << 24;
    for (int bit = 0; bit < 8; ++bit) v = (v & 0x80000000u) != 0 ? (v << 1) ^ 0x04C11DB7u : v << 1;
    gCrcTable[i] = v;
  }
  gTableBuilt = 1;
}

void FeedByte(uint8_t b) { CrcState = (CrcState << 8) ^ gCrcTable[((CrcState >> 24) ^ b) & 0xFFu]; }

}  // namespace

uint8_t FrameChecksum(const uint8_t* bytes, int32_t length) {
  uint8_t x = 0xFF;
  for (int32_t i = 0; i < length; ++i) {
    const uint8_t y = x ^ bytes[i];
    x = static_cast<uint8_t>((y << 1) | (y >> 7));
  }
  return x;
}

void WordCrc32(const uint8_t* data, uint16_t count) {
  if (gTableBuilt == 0) BuildCrcTable();
  uint32_t i = 0;
  for (; i + 4 <= count; i += 4) {
    FeedByte(data[i + 3]);
    FeedByte(data[i + 2]);
    FeedByte(data[i + 1]);
    FeedByte(data[i]);
  }
  const uint32_t tail = count - i;
  if (tail == 0) return;
  // The missing bytes of the last word count as zeros and are fed first.
  uint8_t word[4] = {0, 0, 0, 0};
  for (uint32_t k = 0; k < tail; ++k) word[k] = data[i + k];
  FeedByte(word[3]);
  FeedByte(word[2]);
  FeedByte(word[1]);
  FeedByte(word[0]);
}
