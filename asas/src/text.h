// Small text helpers of the security client: the field encoding of its store files, the rules
// for names, UTF-8 checks and the Windows-1252 decoding of message headers.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace asas {

// Store-file field encoding: bytes up to 0x20, 0x7F, "%", "=", "#", "[" and "]" become "%XX"
// (upper-case hex); every other byte stands for itself. Any byte string survives a round trip.
std::string PercentEncode(std::string_view raw);
// Reverses PercentEncode; empty when a "%" is not followed by two hex digits.
std::optional<std::string> PercentDecode(std::string_view encoded);

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool IsValidUtf8(std::string_view text);

// Decodes Windows-1252 bytes to UTF-8. The five bytes that the code page leaves undefined map to
// the C1 control characters of the same value.
std::string Windows1252ToUtf8(std::string_view bytes);

// Header text as UTF-8: kept when it is valid UTF-8, else read as Windows-1252 (the code page of
// the practice software).
std::string HeaderTextToUtf8(std::string_view bytes);

// A name of a login, identity or recipient: 1 to 128 bytes of UTF-8 without control characters,
// blanks, commas, slashes or backslashes, not starting with ".". Such a name is a safe file
// name and can stand in a blank- or comma-separated recipient list.
bool IsValidName(std::string_view name);

// `text` without leading and trailing blanks and tabs.
std::string_view TrimBlanks(std::string_view text);

}  // namespace asas
