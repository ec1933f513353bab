#include "platform/codepage.h"

#include <algorithm>
#include <cstdint>

namespace qx {
namespace {

// Code points of the bytes 0x80..0x9F in Windows-1252.
constexpr char32_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes one UTF-8 character at `pos`; returns false for a malformed sequence (pos advances by
// one byte then).
bool DecodeUtf8(std::string_view s, size_t& pos, char32_t& cp) {
  auto b0 = static_cast<uint8_t>(s[pos]);
  if (b0 < 0x80) {
    cp = b0;
    ++pos;
    return true;
  }
  int len = 0;
  char32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    ++pos;
    return false;
  }
  if (pos + len > s.size()) {
    ++pos;
    return false;
  }
  for (int i = 1; i < len; ++i) {
    auto b = static_cast<uint8_t>(s[pos + i]);
    if ((b & 0xC0) != 0x80) {
      ++pos;
      return false;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return false;
  }
  pos += len;
  return true;
}

int Cp1252FromCodePoint(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
  for (int i = 0; i < 32; ++i)
    if (kHigh[i] == cp) return 0x80 + i;
  return -1;
}

// Decodes one UTF-8 character (a malformed byte stands for itself) and folds its case.
char32_t NextFolded(std::string_view s, size_t& pos) {
  auto b = static_cast<unsigned char>(s[pos]);
  char32_t cp = b;
  size_t len = 1;
  if (b >= 0xC0 && b < 0xE0 && pos + 1 < s.size()) {
    cp = ((b & 0x1Fu) << 6) | (static_cast<unsigned char>(s[pos + 1]) & 0x3Fu);
    len = 2;
  } else if (b >= 0xE0 && b < 0xF0 && pos + 2 < s.size()) {
    cp = ((b & 0x0Fu) << 12) | ((static_cast<unsigned char>(s[pos + 1]) & 0x3Fu) << 6) |
         (static_cast<unsigned char>(s[pos + 2]) & 0x3Fu);
    len = 3;
  }
  pos += len;
  if (cp >= 'A' && cp <= 'Z') return cp + 32;
  if (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) return cp + 32;
  return cp;
}

}  // namespace

std::string Cp1252ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 8);
  for (char c : bytes) {
    auto b = static_cast<uint8_t>(c);
    if (b < 0x80)
      out += c;
    else if (b < 0xA0)
      AppendUtf8(out, kHigh[b - 0x80]);
    else
      AppendUtf8(out, b);
  }
  return out;
}

std::string Utf8ToCp1252(std::string_view text, char replacement) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp = 0;
    if (!DecodeUtf8(text, pos, cp)) {
      out += replacement;
      continue;
    }
    int b = Cp1252FromCodePoint(cp);
    out += b < 0 ? replacement : static_cast<char>(b);
  }
  return out;
}

bool IsCp1252Representable(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp = 0;
    if (!DecodeUtf8(text, pos, cp) || Cp1252FromCodePoint(cp) < 0) return false;
  }
  return true;
}

size_t Utf8PrefixLength(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text.size();
  size_t cut = max_bytes;
  // Step back over continuation bytes to the start of the character that the cut splits.
  while (cut > 0 && (static_cast<uint8_t>(text[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

std::string TruncateUtf8(std::string_view text, size_t max_bytes) {
  return std::string(text.substr(0, Utf8PrefixLength(text, max_bytes)));
}

bool StartsWithNoCase(std::string_view name, std::string_view prefix) {
  if (name.size() < prefix.size()) return false;
  std::string_view head = name.substr(0, prefix.size());
  size_t a = 0, b = 0;
  while (a < head.size() && b < prefix.size())
    if (NextFolded(head, a) != NextFolded(prefix, b)) return false;
  return a == head.size() && b == prefix.size();
}

size_t Utf8Length(std::string_view text) {
  size_t count = 0;
  for (char c : text)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  return count;
}

namespace {

unsigned char LowerAsciiByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte + ('a' - 'A')) : byte;
}

}  // namespace

int CompareLowerAscii(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = LowerAsciiByte(a[i]), y = LowerAsciiByte(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

bool StartsWithLowerAscii(std::string_view name, std::string_view lower) {
  return name.size() >= lower.size() && CompareLowerAscii(name.substr(0, lower.size()), lower) == 0;
}

}  // namespace qx
