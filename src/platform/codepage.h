// Conversions between UTF-8 (text in memory, paths, settings, logs, texts for the host) and
// Windows-1252 (invoice content and everything a Trust Center reads or hashes).
#pragma once

#include <string>
#include <string_view>

namespace qx {

// Windows-1252 bytes to UTF-8. The five bytes that Windows-1252 leaves undefined (0x81, 0x8D,
// 0x8F, 0x90, 0x9D) map to the C1 control characters of the same value, as Windows does.
std::string Cp1252ToUtf8(std::string_view bytes);

// UTF-8 to Windows-1252. Characters without a Windows-1252 form, and malformed UTF-8 sequences,
// become `replacement`.
std::string Utf8ToCp1252(std::string_view text, char replacement = '?');

// True when every character of `text` has a Windows-1252 form and the UTF-8 is well-formed.
bool IsCp1252Representable(std::string_view text);

// Length of the longest prefix of `text` that is at most `max_bytes` long and does not end inside
// a UTF-8 sequence.
size_t Utf8PrefixLength(std::string_view text, size_t max_bytes);

// Cuts `text` to at most `max_bytes`, at a character boundary.
std::string TruncateUtf8(std::string_view text, size_t max_bytes);

// True when `name` begins with `prefix`, compared without regard to case over the byte length
// of `prefix` (ASCII and Latin-1 letters fold; other characters compare as they are).
bool StartsWithNoCase(std::string_view name, std::string_view prefix);

// The order of two texts with ASCII A-Z lowered, byte by byte (as std::string compares them):
// < 0, 0, > 0. Other bytes are compared as they are.
int CompareLowerAscii(std::string_view a, std::string_view b);
// Whether `name` with ASCII A-Z lowered begins with `lower` (lowered already).
bool StartsWithLowerAscii(std::string_view name, std::string_view lower);

// Number of characters of a UTF-8 text.
size_t Utf8Length(std::string_view text);

}  // namespace qx
