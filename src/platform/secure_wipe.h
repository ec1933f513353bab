// Overwriting buffers that held patient data in clear, so that freed memory and swapped pages do
// not keep them. The writes cannot be optimised away (explicit_bzero).
#pragma once

#include <string.h>

#include <string>

namespace qx {

// Zeroes `size` bytes at `data`.
inline void SecureWipe(void* data, size_t size) {
  if (data != nullptr && size > 0) explicit_bzero(data, size);
}

// Zeroes the whole buffer of `text` (up to its capacity, since a shorter text may have held a
// longer one before) and leaves it empty.
inline void SecureWipe(std::string& text) {
  text.resize(text.capacity());
  SecureWipe(text.data(), text.size());
  text.clear();
}

// Wipes a string when the scope ends, on every way out. The string must outlive the guard.
class WipeOnExit {
 public:
  explicit WipeOnExit(std::string& text) : text_(text) {}
  ~WipeOnExit() { SecureWipe(text_); }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;

 private:
  std::string& text_;
};

}  // namespace qx
