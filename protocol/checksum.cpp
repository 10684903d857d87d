#include "protocol/checksum.h"

#include <array>

uint32_t CrcState = 0xFFFFFFFFu;

namespace {

constexpr std::array<uint32_t, 256> kCrcTable = [] {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t v = i << 24;
    for (int bit = 0; bit < 8; ++bit) v = (v & 0x80000000u) != 0 ? (v << 1) ^ 0x04C11DB7u : v << 1;
    table[i] = v;
  }
  return table;
}();
static_assert(kCrcTable[1] == 0x04C11DB7u && kCrcTable[128] == 0x690CE0EEu && kCrcTable[255] == 0xB1F740B4u);

uint32_t FeedByte(uint32_t state, uint8_t b) { return (state << 8) ^ kCrcTable[((state >> 24) ^ b) & 0xFFu]; }

}  // namespace

uint8_t FrameChecksum(const uint8_t* bytes, int32_t length) {
  uint8_t x = 0xFF;
  for (int32_t i = 0; i < length; ++i) {
    const uint8_t y = x ^ bytes[i];
    x = static_cast<uint8_t>((y << 1) | (y >> 7));
  }
  return x;
}

uint32_t WordCrc32Update(uint32_t state, const uint8_t* data, size_t count) {
  size_t i = 0;
  for (; i + 4 <= count; i += 4)
    for (size_t k = 4; k-- > 0;) state = FeedByte(state, data[i + k]);
  if (i == count) return state;
  // The missing bytes of the last word count as zeros and are fed first.
  uint8_t word[4] = {0, 0, 0, 0};
  for (size_t k = 0; i + k < count; ++k) word[k] = data[i + k];
  for (size_t k = 4; k-- > 0;) state = FeedByte(state, word[k]);
  return state;
}

void WordCrc32(const uint8_t* data, uint16_t count) { CrcState = WordCrc32Update(CrcState, data, count); }
