#include "json.h"

#include <cstdio>

namespace qendix_cli {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c == '"') {
      out += "\\\"";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
      out += buffer;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      // Copy one well-formed UTF-8 sequence, or replace a malformed byte.
      size_t len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
      bool ok = len > 0 && i + len <= text.size() && c >= 0xC2 && c <= 0xF4;
      for (size_t k = 1; ok && k < len; ++k)
        ok = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
      if (ok) {
        out.append(text, i, len);
        i += len;
        continue;
      }
      out += "\xEF\xBF\xBD";
    }
    ++i;
  }
  out += "\"";
  return out;
}

std::string JsonString(const qx::BStr& text) {
  return text ? JsonString(*text) : "null";
}

}  // namespace qendix_cli
