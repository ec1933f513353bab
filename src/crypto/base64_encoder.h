// Streaming base64 (standard alphabet, "=" padding) in lines of 64 characters: every 48 input
// bytes give one line followed by LF; Finish writes the remaining 1 to 47 bytes as a last,
// shorter line. An empty input gives no line. Used for the PDF bodies of envelopes.
// Not thread-safe; one encoder per stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qx {

class Base64Encoder {
 public:
  // Lines are appended to *out, which must outlive the encoder.
  explicit Base64Encoder(std::string* out) : out_(out) {}

  // Feeds `size` bytes; writes a line for every 48 bytes collected.
  void Write(const void* data, size_t size);
  // Writes the last line, if any bytes are left. Further Writes start a new stream.
  void Finish();

  static constexpr size_t kLineBytes = 48;

 private:
  void EncodeLine(const uint8_t* bytes, size_t size);

  std::string* out_;
  uint8_t pending_[kLineBytes] = {};
  size_t pendingSize_ = 0;
};

}  // namespace qx
