#include "text.h"

#include <cstdint>

namespace asas {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool NeedsEscape(unsigned char c) {
  return c <= 0x20 || c == 0x7F || c == '%' || c == '=' || c == '[' || c == ']' || c == '#';
}

// Unicode code points of the bytes 0x80 to 0x9F in Windows-1252.
constexpr uint16_t kHigh1252[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(char(cp));
  } else if (cp < 0x800) {
    out.push_back(char(0xC0 | (cp >> 6)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(char(0xE0 | (cp >> 12)));
    out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  }
}

// Decodes one UTF-8 sequence at `pos`; returns the code point and advances, or -1 when invalid.
int32_t NextCodePoint(std::string_view s, size_t& pos) {
  auto b = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  uint8_t c = b(pos);
  if (c < 0x80) {
    ++pos;
    return c;
  }
  int len;
  uint32_t cp;
  uint32_t min;
  if ((c & 0xE0) == 0xC0) {
    len = 2, cp = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3, cp = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4, cp = c & 0x07, min = 0x10000;
  } else {
    return -1;
  }
  if (pos + len > s.size()) return -1;
  for (int i = 1; i < len; ++i) {
    if ((b(pos + i) & 0xC0) != 0x80) return -1;
    cp = (cp << 6) | (b(pos + i) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  pos += len;
  return static_cast<int32_t>(cp);
}

}  // namespace

std::string PercentEncode(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (unsigned char c : raw) {
    if (NeedsEscape(c)) {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    } else {
      out.push_back(char(c));
    }
  }
  return out;
}

std::optional<std::string> PercentDecode(std::string_view encoded) {
  std::string out;
  out.reserve(encoded.size());
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] != '%') {
      out.push_back(encoded[i]);
      continue;
    }
    if (i + 2 >= encoded.size()) return std::nullopt;
    int hi = HexValue(encoded[i + 1]);
    int lo = HexValue(encoded[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(char(hi * 16 + lo));
    i += 2;
  }
  return out;
}

bool IsValidUtf8(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size())
    if (NextCodePoint(text, pos) < 0) return false;
  return true;
}

std::string Windows1252ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    if (c >= 0x80 && c < 0xA0)
      AppendUtf8(out, kHigh1252[c - 0x80]);
    else
      AppendUtf8(out, c);
  }
  return out;
}

std::string HeaderTextToUtf8(std::string_view bytes) {
  return IsValidUtf8(bytes) ? std::string(bytes) : Windows1252ToUtf8(bytes);
}

bool IsValidName(std::string_view name) {
  if (name.empty() || name.size() > 128 || name[0] == '.') return false;
  size_t pos = 0;
  while (pos < name.size()) {
    int32_t cp = NextCodePoint(name, pos);
    if (cp < 0 || cp <= 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0)) return false;
    if (cp == ',' || cp == '/' || cp == '\\') return false;
  }
  return true;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace asas
