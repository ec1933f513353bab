// A keyed 64-bit hash (SipHash-2-4) for tables whose keys come from outside: without the key,
// nobody can make two texts collide on purpose, so a hash can stand for the text it was taken of
// where a chance collision (about one in 2^64 per comparison) is acceptable.
//
// Not thread-safe per object; objects are cheap to copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qx {

struct HashKey {
  uint64_t k0 = 0;
  uint64_t k1 = 0;
};

// A key from the kernel's random source (getrandom). Falls back to a key mixed from the time and
// addresses when the kernel cannot give one, which still varies from run to run.
HashKey RandomHashKey();

// Hashes the bytes given to Update, in order, as one message.
class KeyedHasher {
 public:
  explicit KeyedHasher(const HashKey& key);
  void Update(std::string_view bytes);
  // The hash of everything given so far. Ends the use of the object.
  uint64_t Final();

 private:
  void Rounds(int count);
  void Block(uint64_t m);

  uint64_t v0_, v1_, v2_, v3_;
  uint64_t tail_ = 0;  // bytes not yet making a whole block, little-endian
  size_t tailBytes_ = 0;
  uint64_t length_ = 0;  // bytes given so far
};

}  // namespace qx
