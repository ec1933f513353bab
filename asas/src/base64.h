// Base64 (standard alphabet, "=" padding) for certificate texts and envelope bodies.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace asas {

// Encodes `data`. With line_length 0 the text is one line without a line end; otherwise a LF
// follows every `line_length` characters and the last, shorter line.
std::string Base64Encode(std::string_view data, size_t line_length = 0);
// The same text appended to *out, which grows once.
void Base64EncodeTo(std::string* out, std::string_view data, size_t line_length = 0);

// Decodes `text`, skipping blanks, tabs, CR and LF. Empty when any other character is not of the
// alphabet or the padding is wrong.
std::optional<std::string> Base64Decode(std::string_view text);

}  // namespace asas
