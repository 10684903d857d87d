#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "protocol/checksum.h"

namespace {

uint8_t Checksum(const std::vector<uint8_t>& b) {
  return FrameChecksum(b.data(), static_cast<int32_t>(b.size()));
}

uint32_t Crc(const std::vector<uint8_t>& b) {
  CrcState = 0xFFFFFFFFu;
  WordCrc32(b.data(), static_cast<uint16_t>(b.size()));
  return CrcState;
}

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

// CRC-32/MPEG-2, bit by bit, over the data zero-padded to whole words with the
// bytes of each word reversed: a formulation that shares no code with ours.
uint32_t ReferenceCrc(std::vector<uint8_t> data) {
  while (data.size() % 4 != 0) data.push_back(0);
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t w = 0; w < data.size(); w += 4) {
    for (int k = 3; k >= 0; --k) {
      crc ^= static_cast<uint32_t>(data[w + static_cast<size_t>(k)]) << 24;
      for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
  }
  return crc;
}

TEST(FrameChecksum, ReferenceValues) {
  EXPECT_EQ(Checksum(Bytes("abc")), 0xBB);
  EXPECT_EQ(Checksum({}), 0xFF);
  EXPECT_EQ(Checksum({0x60, 0x10, 0x48}), 0x2C);
  EXPECT_EQ(Checksum({0x60, 0x10, 0x40}), 0x3C);
  EXPECT_EQ(Checksum({0xFF}), 0x00);
  EXPECT_EQ(Checksum({0x00}), 0xFF);
  const uint8_t any = 0x12;
  EXPECT_EQ(FrameChecksum(&any, -5), 0xFF);
}

TEST(WordCrc32, ReferenceValues) {
  EXPECT_EQ(Crc(Bytes("abcd")), 0xA62F1C36u);
  EXPECT_EQ(Crc(Bytes("abcde")), 0x16D2D84Bu);
  EXPECT_EQ(Crc(Bytes("abcdefgh")), 0x18C4859Cu);
  EXPECT_EQ(Crc({}), 0xFFFFFFFFu);
}

TEST(WordCrc32, TailCountsAsZeroPaddedWord) {
  EXPECT_EQ(Crc(Bytes("abcde")), Crc({'a', 'b', 'c', 'd', 'e', 0, 0, 0}));
  // Calls continue one CRC; splitting at a word boundary changes nothing, but
  // splitting inside a word pads the first call's tail.
  const std::vector<uint8_t> whole = Bytes("abcdefgh");
  const uint32_t once = Crc(whole);
  CrcState = 0xFFFFFFFFu;
  WordCrc32(whole.data(), 4);
  WordCrc32(whole.data() + 4, 4);
  EXPECT_EQ(CrcState, once);
  CrcState = 0xFFFFFFFFu;
  WordCrc32(whole.data(), 3);
  WordCrc32(whole.data() + 3, 5);
  EXPECT_NE(CrcState, once);
}

TEST(WordCrc32, AgreesWithBitwiseMpeg2OnRandomData) {
  std::mt19937 random(485);
  for (int round = 0; round < 500; ++round) {
    std::vector<uint8_t> data(random() % 300);
    for (uint8_t& b : data) b = static_cast<uint8_t>(random());
    ASSERT_EQ(Crc(data), ReferenceCrc(data)) << "length " << data.size();
  }
}

}  // namespace
