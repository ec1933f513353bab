#include "crypto/base64_encoder.h"

#include <cstring>

namespace qx {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The two characters of every 12 bits: a group of three bytes is two lookups.
struct Pairs {
  char text[4096][2];
};
constexpr Pairs kPairs = [] {
  Pairs pairs{};
  for (int v = 0; v < 4096; ++v) {
    pairs.text[v][0] = kAlphabet[v >> 6];
    pairs.text[v][1] = kAlphabet[v & 0x3F];
  }
  return pairs;
}();

// Writes the 64 characters of 48 bytes to `out`.
void EncodeFullLine(const uint8_t* bytes, char* out) {
  for (size_t i = 0; i < Base64Encoder::kLineBytes; i += 3, out += 4) {
    const uint32_t group = static_cast<uint32_t>(bytes[i]) << 16 |
                           static_cast<uint32_t>(bytes[i + 1]) << 8 | bytes[i + 2];
    std::memcpy(out, kPairs.text[group >> 12], 2);
    std::memcpy(out + 2, kPairs.text[group & 0xFFF], 2);
  }
}

constexpr size_t kLineChars = Base64Encoder::kLineBytes / 3 * 4 + 1;  // with its LF

}  // namespace

void Base64Encoder::Write(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (pendingSize_ > 0) {
    size_t take = kLineBytes - pendingSize_;
    if (take > size) take = size;
    std::memcpy(pending_ + pendingSize_, bytes, take);
    pendingSize_ += take;
    bytes += take;
    size -= take;
    if (pendingSize_ < kLineBytes) return;
    EncodeLine(pending_, pendingSize_);
    pendingSize_ = 0;
  }
  // Whole lines straight from the input, into the output grown once for them.
  const size_t lines = size / kLineBytes;
  if (lines > 0) {
    const size_t start = out_->size();
    out_->resize(start + lines * kLineChars);
    char* out = out_->data() + start;
    for (size_t i = 0; i < lines; ++i, bytes += kLineBytes, out += kLineChars) {
      EncodeFullLine(bytes, out);
      out[kLineChars - 1] = '\n';
    }
    size -= lines * kLineBytes;
  }
  std::memcpy(pending_, bytes, size);
  pendingSize_ = size;
}

void Base64Encoder::Finish() {
  if (pendingSize_ > 0) EncodeLine(pending_, pendingSize_);
  pendingSize_ = 0;
}

void Base64Encoder::EncodeLine(const uint8_t* bytes, size_t size) {
  char line[kLineChars];
  size_t length = 0;
  if (size == kLineBytes) {
    EncodeFullLine(bytes, line);
    length = kLineChars - 1;
  } else {
    for (size_t i = 0; i < size; i += 3) {
      uint32_t group = static_cast<uint32_t>(bytes[i]) << 16;
      if (i + 1 < size) group |= static_cast<uint32_t>(bytes[i + 1]) << 8;
      if (i + 2 < size) group |= bytes[i + 2];
      line[length++] = kAlphabet[(group >> 18) & 0x3F];
      line[length++] = kAlphabet[(group >> 12) & 0x3F];
      line[length++] = i + 1 < size ? kAlphabet[(group >> 6) & 0x3F] : '=';
      line[length++] = i + 2 < size ? kAlphabet[group & 0x3F] : '=';
    }
  }
  line[length++] = '\n';
  out_->append(line, length);
}

}  // namespace qx
