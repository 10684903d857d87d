// The image's digest against the standard's own examples and sha256sum's
// answers, whole and fed in pieces that cross the 64-byte blocks.

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "ops/sha256.h"

namespace {

TEST(Sha256, KnownDigestsWholeAndInPieces) {
  const std::string million(1000000, 'a');
  const struct {
    std::string text;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(55, 'x'), "d5e285683cd4efc02d021a5c62014694958901005d6f71e89e0989fac77e4072"},
      {std::string(64, 'x'), "7ce100971f64e7001e8fe5a51973ecdfe1ced42befe7ee8d5fd6219506b5393c"},
      {million, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(c.text.data());
    EXPECT_EQ(Sha256Hex(bytes, c.text.size()), c.digest) << c.text.size() << " bytes";
    Sha256State state;
    Sha256Begin(state);
    for (size_t at = 0; at < c.text.size(); at += 37)
      Sha256Add(state, bytes + at, std::min<size_t>(37, c.text.size() - at));
    EXPECT_EQ(Sha256End(state), c.digest) << c.text.size() << " bytes in pieces";
  }
  EXPECT_TRUE(Sha256IsHex("BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"));
  EXPECT_FALSE(Sha256IsHex("ba7816bf"));
  EXPECT_FALSE(Sha256IsHex(std::string(63, 'a') + "g"));
}

}  // namespace
