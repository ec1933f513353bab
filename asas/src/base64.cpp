#include "base64.h"

#include <cstdint>
#include <cstring>

namespace asas {
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

int DecodeDigit(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string Base64Encode(std::string_view data, size_t line_length) {
  std::string text;
  Base64EncodeTo(&text, data, line_length);
  return text;
}

void Base64EncodeTo(std::string* text, std::string_view data, size_t line_length) {
  const size_t chars = (data.size() + 2) / 3 * 4;
  const size_t start = text->size();
  text->resize(start + chars + (line_length ? (chars + line_length - 1) / line_length : 0));
  char* out = text->data() + start;
  const auto* in = reinterpret_cast<const uint8_t*>(data.data());
  size_t i = 0;
  // Whole lines of a length divisible by four: three bytes at a time, two lookups each.
  if (line_length > 0 && line_length % 4 == 0) {
    const size_t lineBytes = line_length / 4 * 3;
    for (; i + lineBytes <= data.size(); i += lineBytes) {
      for (size_t j = i; j < i + lineBytes; j += 3, out += 4) {
        const uint32_t v = uint32_t(in[j]) << 16 | uint32_t(in[j + 1]) << 8 | in[j + 2];
        std::memcpy(out, kPairs.text[v >> 12], 2);
        std::memcpy(out + 2, kPairs.text[v & 0xFFF], 2);
      }
      *out++ = '\n';
    }
  }
  size_t column = 0;
  auto put = [&](char c) {
    *out++ = c;
    if (line_length && ++column == line_length) {
      *out++ = '\n';
      column = 0;
    }
  };
  for (; i + 3 <= data.size(); i += 3) {
    uint32_t v = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8) | uint32_t(in[i + 2]);
    put(kAlphabet[(v >> 18) & 63]);
    put(kAlphabet[(v >> 12) & 63]);
    put(kAlphabet[(v >> 6) & 63]);
    put(kAlphabet[v & 63]);
  }
  size_t rest = data.size() - i;
  if (rest) {
    uint32_t v = uint32_t(in[i]) << 16;
    if (rest == 2) v |= uint32_t(in[i + 1]) << 8;
    put(kAlphabet[(v >> 18) & 63]);
    put(kAlphabet[(v >> 12) & 63]);
    put(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
    put('=');
  }
  if (line_length && column) *out++ = '\n';
  text->resize(static_cast<size_t>(out - text->data()));
}

std::optional<std::string> Base64Decode(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3);
  uint32_t group = 0;
  int digits = 0;
  int padding = 0;
  for (unsigned char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (c == '=') {
      // Padding only completes a group of two or three digits, and nothing follows it.
      if (digits < 2) return std::nullopt;
      ++padding;
      group <<= 6;
      if (++digits == 4) {
        out.push_back(char(group >> 16));
        if (padding == 1) out.push_back(char((group >> 8) & 0xFF));
        digits = 0;
        group = 0;
      }
      continue;
    }
    int d = DecodeDigit(c);
    if (d < 0 || padding) return std::nullopt;
    group = (group << 6) | uint32_t(d);
    if (++digits == 4) {
      out.push_back(char(group >> 16));
      out.push_back(char((group >> 8) & 0xFF));
      out.push_back(char(group & 0xFF));
      digits = 0;
      group = 0;
    }
  }
  if (digits != 0) return std::nullopt;
  return out;
}

}  // namespace asas
