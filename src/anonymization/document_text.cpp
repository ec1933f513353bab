#include "anonymization/document_text.h"

#include <cstdint>
#include <cstdio>

#include "platform/codepage.h"

namespace qx {
namespace {

// Length of the well-formed UTF-8 sequence at `pos` and its code point; 0 when malformed.
size_t DecodeUtf8(std::string_view text, size_t pos, char32_t* codePoint) {
  const auto lead = static_cast<uint8_t>(text[pos]);
  size_t length;
  char32_t value;
  char32_t minimum;
  if (lead < 0x80) {
    *codePoint = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - pos < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    const auto next = static_cast<uint8_t>(text[pos + i]);
    if ((next & 0xC0) != 0x80) return 0;
    value = (value << 6) | (next & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *codePoint = value;
  return length;
}

// The characters XML 1.0 allows in a document.
bool IsXmlChar(char32_t c) {
  return c == 0x09 || c == 0x0A || c == 0x0D || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || c >= 0x10000;
}

void AppendReference(std::string& out, char32_t c) {
  char reference[16];
  std::snprintf(reference, sizeof reference, "&#x%X;", static_cast<unsigned>(c));
  out += reference;
}

// Appends one well-formed character of `utf8` (the `length` bytes at `pos`).
void AppendCharacter(std::string& out, std::string_view utf8, size_t pos, size_t length,
                     char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
    return;
  }
  const std::string_view sequence = utf8.substr(pos, length);
  if (IsCp1252Representable(sequence)) {
    out += Utf8ToCp1252(sequence);
  } else {
    AppendReference(out, c);
  }
}

// The length of the run of ASCII bytes at the start of `text`.
size_t AsciiRun(std::string_view text) {
  size_t n = 0;
  while (n < text.size() && static_cast<uint8_t>(text[n]) < 0x80) ++n;
  return n;
}

}  // namespace

void AppendDocumentBytes(std::string& out, std::string_view utf8) {
  for (size_t pos = 0; pos < utf8.size();) {
    // ASCII stands as it is: a run of it is appended at once.
    if (const size_t run = AsciiRun(utf8.substr(pos)); run > 0) {
      out.append(utf8, pos, run);
      pos += run;
      continue;
    }
    char32_t c = 0;
    const size_t length = DecodeUtf8(utf8, pos, &c);
    if (length == 0) {
      out += '?';
      ++pos;
      continue;
    }
    AppendCharacter(out, utf8, pos, length, c);
    pos += length;
  }
}

void AppendXmlValue(std::string& out, std::string_view utf8, bool attribute) {
  for (size_t pos = 0; pos < utf8.size();) {
    char32_t c = 0;
    const size_t length = DecodeUtf8(utf8, pos, &c);
    if (length == 0) {
      out += '?';
      ++pos;
      continue;
    }
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (attribute && c == '"') {
      out += "&quot;";
    } else if (attribute && (c == 0x09 || c == 0x0A || c == 0x0D)) {
      // A line break or tab in an attribute would be read back as a blank.
      AppendReference(out, c);
    } else if (!IsXmlChar(c)) {
      out += '?';
    } else {
      AppendCharacter(out, utf8, pos, length, c);
    }
    pos += length;
  }
}

std::string WithCrLf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16 + 16);
  for (size_t pos = 0; pos < text.size();) {
    size_t lf = text.find('\n', pos);
    if (lf == std::string_view::npos) lf = text.size();
    out.append(text, pos, lf - pos);
    if (lf == text.size()) break;
    out += "\r\n";
    pos = lf + 1;
  }
  return out;
}

}  // namespace qx
