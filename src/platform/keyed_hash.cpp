#include "platform/keyed_hash.h"

#include <sys/random.h>
#include <time.h>

namespace qx {
namespace {

inline uint64_t Rotl(uint64_t x, int b) {
  return (x << b) | (x >> (64 - b));
}

}  // namespace

HashKey RandomHashKey() {
  HashKey key;
  uint64_t words[2];
  if (::getrandom(words, sizeof words, 0) == static_cast<ssize_t>(sizeof words)) {
    key.k0 = words[0];
    key.k1 = words[1];
    return key;
  }
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  key.k0 = static_cast<uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15ull ^
           static_cast<uint64_t>(now.tv_sec);
  key.k1 = reinterpret_cast<uintptr_t>(&key) * 0xC2B2AE3D27D4EB4Full ^ key.k0;
  return key;
}

KeyedHasher::KeyedHasher(const HashKey& key)
    : v0_(0x736f6d6570736575ull ^ key.k0),
      v1_(0x646f72616e646f6dull ^ key.k1),
      v2_(0x6c7967656e657261ull ^ key.k0),
      v3_(0x7465646279746573ull ^ key.k1) {}

void KeyedHasher::Rounds(int count) {
  for (int i = 0; i < count; ++i) {
    v0_ += v1_;
    v1_ = Rotl(v1_, 13);
    v1_ ^= v0_;
    v0_ = Rotl(v0_, 32);
    v2_ += v3_;
    v3_ = Rotl(v3_, 16);
    v3_ ^= v2_;
    v0_ += v3_;
    v3_ = Rotl(v3_, 21);
    v3_ ^= v0_;
    v2_ += v1_;
    v1_ = Rotl(v1_, 17);
    v1_ ^= v2_;
    v2_ = Rotl(v2_, 32);
  }
}

void KeyedHasher::Block(uint64_t m) {
  v3_ ^= m;
  Rounds(2);
  v0_ ^= m;
}

void KeyedHasher::Update(std::string_view bytes) {
  length_ += bytes.size();
  size_t i = 0;
  // Fill a started block first, then whole blocks straight from the input.
  while (tailBytes_ != 0 && i < bytes.size()) {
    tail_ |= uint64_t{static_cast<unsigned char>(bytes[i++])} << (8 * tailBytes_);
    if (++tailBytes_ == 8) {
      Block(tail_);
      tail_ = 0;
      tailBytes_ = 0;
    }
  }
  for (; i + 8 <= bytes.size(); i += 8) {
    uint64_t m = 0;
    for (int b = 7; b >= 0; --b) m = (m << 8) | static_cast<unsigned char>(bytes[i + b]);
    Block(m);
  }
  for (; i < bytes.size(); ++i)
    tail_ |= uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * tailBytes_++);
}

uint64_t KeyedHasher::Final() {
  Block(tail_ | (length_ << 56));
  v2_ ^= 0xff;
  Rounds(4);
  return v0_ ^ v1_ ^ v2_ ^ v3_;
}

}  // namespace qx
