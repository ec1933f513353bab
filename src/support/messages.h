// The message catalogue: every user-visible text by number, in German and French. The French
// text of a message has the German number + 2000. The language is chosen at every lookup
// (platform/language.h). Texts are UTF-8.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

namespace qx {

// The text of message `id` in the user's language; empty when the catalogue has none.
std::string LoadMessage(uint16_t id);

// As LoadMessage, cut to at most 255 bytes at a character boundary (the narrow form the steps
// keep as their names and texts).
std::string LoadMessageA(uint16_t id);

// Longest text of a formatted event message, in bytes; longer results are cut at a character
// boundary.
constexpr size_t kMaxEventTextBytes = 127;

// Formats a catalogue text (a printf format with %s and %d) with the given arguments and cuts
// the result to kMaxEventTextBytes. Only the catalogue's own texts are used as formats.
std::string FormatEventText(const std::string& format, const std::string& s1);
std::string FormatEventText(const std::string& format, int d1);
std::string FormatEventText(const std::string& format, const std::string& s1, int d1, int d2);

// `format` with each "%s" replaced, in order, by the next of `args` (missing ones by nothing).
// Unlike the printf family it never reads past its arguments, whatever the format holds.
std::string FillText(const std::string& format, std::initializer_list<std::string> args);

}  // namespace qx
