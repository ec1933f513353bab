// One line of the sent-invoice register file and the rules for the values it holds.
//
// An ordinary line is: identifier "|" amount "|" sending time in decimal "|" ZSR number.
// A value that such a line cannot carry (an empty value, or one containing "|", CR or LF) is
// written in the escaped form instead: a leading "|", then the same four fields separated by "|",
// with "%" written as "%25", "|" as "%7C", CR as "%0D" and LF as "%0A". Every other entry keeps
// its ordinary line byte for byte, and lines of either form read back as the values written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qx {

// One invoice delivered to a Trust Center.
struct SentEntry {
  std::string zsr;     // the provider's key: ZSR number cut to kMaxZsrChars, or a GLN whole
  std::string amount;  // the amount as decimal text, at most kMaxAmountChars characters
  int64_t sentAt = 0;  // seconds since 1970-01-01 00:00 UTC

  friend bool operator==(const SentEntry&, const SentEntry&) = default;
};

inline constexpr size_t kMaxZsrChars = 7;
inline constexpr size_t kMaxAmountChars = 23;

// The first `maxChars` characters of the UTF-8 text `text` (all of it if shorter).
std::string_view CutCharacters(std::string_view text, size_t maxChars);

// The provider key as the register keeps it: a GLN (exactly 13 digits) whole, so that providers
// with GLNs that share their first digits stay apart; anything else (a ZSR number) cut to
// kMaxZsrChars characters.
std::string_view CutProviderKey(std::string_view zsr);

// The line of one entry, without line end.
std::string FormatRegisterLine(std::string_view invoiceId, const SentEntry& entry);

struct RegisterLine {
  std::string invoiceId;
  SentEntry entry;
};

// Reads one line (without its LF; a CR is ignored). Empty when the line holds no valid entry:
// fewer than four non-empty fields, or a sending time that is not an unsigned decimal number.
// The provider key is cut by CutProviderKey, the amount to its limit.
std::optional<RegisterLine> ParseRegisterLine(std::string_view line);

// The values of one line as ParseRegisterLine reads them, as views: into `line` for the
// ordinary form, into `*storage` for the escaped form (both must outlive the views). For reading
// a large register without copying every line.
struct RegisterFields {
  std::string_view invoiceId;
  std::string_view amount;  // cut to kMaxAmountChars
  std::string_view zsr;     // cut by CutProviderKey
  int64_t sentAt = 0;
};
// False when the line holds no valid entry; the fields are then unspecified.
bool SplitRegisterLine(std::string_view line, RegisterFields* fields, std::string* storage);

// An amount text read as a decimal number the way "%lf" reads it (leading blanks, optional sign,
// the longest number at the start; independent of the locale). Empty when it starts with no
// number or the number is out of range.
std::optional<double> ParseAmountNumber(std::string_view text);

}  // namespace qx
