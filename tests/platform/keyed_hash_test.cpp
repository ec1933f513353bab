#include "platform/keyed_hash.h"

#include <string>

#include <gtest/gtest.h>

namespace qx {
namespace {

// The reference key 00 01 .. 0f and messages 00 01 .. (n-1) of the hash's published test
// vectors; the message is given in two uneven pieces, as the register gives its fields.
TEST(KeyedHasher, GivesTheReferenceValuesWhateverThePieces) {
  const HashKey key{0x0706050403020100ull, 0x0f0e0d0c0b0a0908ull};
  const struct {
    size_t length;
    uint64_t hash;
  } vectors[] = {{0, 0x726fdb47dd0e0e31ull},  {1, 0x74f839c593dc67fdull},
                 {7, 0xab0200f58b01d137ull},  {8, 0x93f5f5799a932462ull},
                 {15, 0xa129ca6149be45e5ull}, {16, 0x3f2acc7f57c29bdbull}};
  std::string message;
  for (int i = 0; i < 16; ++i) message.push_back(static_cast<char>(i));
  for (const auto& v : vectors) {
    for (size_t split = 0; split <= v.length; ++split) {
      KeyedHasher hasher(key);
      hasher.Update(std::string_view(message).substr(0, split));
      hasher.Update(std::string_view(message).substr(split, v.length - split));
      EXPECT_EQ(hasher.Final(), v.hash) << v.length << " split at " << split;
    }
  }
  EXPECT_NE(RandomHashKey().k0, RandomHashKey().k0);
}

}  // namespace
}  // namespace qx
