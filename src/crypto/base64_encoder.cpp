#include "crypto/base64_encoder.h"

#include <cstring>

namespace qx {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

void Base64Encoder::Write(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    size_t take = kLineBytes - pendingSize_;
    if (take > size) take = size;
    std::memcpy(pending_ + pendingSize_, bytes, take);
    pendingSize_ += take;
    bytes += take;
    size -= take;
    if (pendingSize_ == kLineBytes) {
      EncodeLine(pending_, pendingSize_);
      pendingSize_ = 0;
    }
  }
}

void Base64Encoder::Finish() {
  if (pendingSize_ > 0) EncodeLine(pending_, pendingSize_);
  pendingSize_ = 0;
}

void Base64Encoder::EncodeLine(const uint8_t* bytes, size_t size) {
  char line[kLineBytes / 3 * 4 + 1];
  size_t length = 0;
  for (size_t i = 0; i < size; i += 3) {
    uint32_t group = static_cast<uint32_t>(bytes[i]) << 16;
    if (i + 1 < size) group |= static_cast<uint32_t>(bytes[i + 1]) << 8;
    if (i + 2 < size) group |= bytes[i + 2];
    line[length++] = kAlphabet[(group >> 18) & 0x3F];
    line[length++] = kAlphabet[(group >> 12) & 0x3F];
    line[length++] = i + 1 < size ? kAlphabet[(group >> 6) & 0x3F] : '=';
    line[length++] = i + 2 < size ? kAlphabet[group & 0x3F] : '=';
  }
  line[length++] = '\n';
  out_->append(line, length);
}

}  // namespace qx
