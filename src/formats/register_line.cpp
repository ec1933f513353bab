#include "formats/register_line.h"

#include <charconv>
#include <limits>
#include <system_error>
#include <utility>

namespace qx {
namespace {

constexpr char kSeparator = '|';
constexpr char kEscape = '%';

bool IsCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsLineSeparator(char c) {
  return c == kSeparator || c == '\r' || c == '\n';
}

bool FitsOrdinaryLine(std::string_view value) {
  if (value.empty()) return false;
  for (char c : value)
    if (IsLineSeparator(c)) return false;
  return true;
}

void AppendEscaped(std::string& out, std::string_view value) {
  for (char c : value) {
    switch (c) {
      case kEscape:
        out += "%25";
        break;
      case kSeparator:
        out += "%7C";
        break;
      case '\r':
        out += "%0D";
        break;
      case '\n':
        out += "%0A";
        break;
      default:
        out += c;
    }
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Undoes AppendEscaped; a "%" that does not start a two-digit hex code stands for itself.
std::string Unescape(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == kEscape && i + 2 < value.size()) {
      int high = HexValue(value[i + 1]);
      int low = HexValue(value[i + 2]);
      if (high >= 0 && low >= 0) {
        out += static_cast<char>(high * 16 + low);
        i += 2;
        continue;
      }
    }
    out += value[i];
  }
  return out;
}

// The sending time the way "%lu" reads it: leading blanks, optional "+", at least one digit,
// the digits up to the first other character. A minus sign or a value beyond 64 bits is refused.
std::optional<int64_t> ParseSentTime(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size() && IsCSpace(text[pos])) ++pos;
  if (pos < text.size() && text[pos] == '+') ++pos;
  if (pos >= text.size() || text[pos] < '0' || text[pos] > '9') return std::nullopt;
  int64_t value = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    int digit = text[pos] - '0';
    if (value > (std::numeric_limits<int64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// The escaped form: a leading "|" and exactly four fields after it.
bool SplitEscapedLine(std::string_view line, std::string_view (&fields)[4]) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  if (line.empty() || line.front() != kSeparator) return false;
  line.remove_prefix(1);
  for (size_t count = 0;; ++count) {
    if (count == 4) return false;
    size_t bar = line.find(kSeparator);
    fields[count] = line.substr(0, bar);
    if (bar == std::string_view::npos) return count == 3;
    line.remove_prefix(bar + 1);
  }
}

}  // namespace

std::string_view CutCharacters(std::string_view text, size_t maxChars) {
  size_t count = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    bool startsCharacter = (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    if (startsCharacter) {
      if (count == maxChars) return text.substr(0, i);
      ++count;
    }
  }
  return text;
}

std::string_view CutProviderKey(std::string_view zsr) {
  constexpr size_t kGlnDigits = 13;
  bool gln = zsr.size() == kGlnDigits;
  for (char c : zsr) gln = gln && c >= '0' && c <= '9';
  return gln ? zsr : CutCharacters(zsr, kMaxZsrChars);
}

std::string FormatRegisterLine(std::string_view invoiceId, const SentEntry& entry) {
  std::string time = std::to_string(entry.sentAt);
  std::string line;
  if (FitsOrdinaryLine(invoiceId) && FitsOrdinaryLine(entry.amount) &&
      FitsOrdinaryLine(entry.zsr)) {
    line.reserve(invoiceId.size() + entry.amount.size() + time.size() + entry.zsr.size() + 3);
    line.append(invoiceId).append(1, kSeparator).append(entry.amount).append(1, kSeparator);
    line.append(time).append(1, kSeparator).append(entry.zsr);
    return line;
  }
  line += kSeparator;
  AppendEscaped(line, invoiceId);
  line += kSeparator;
  AppendEscaped(line, entry.amount);
  line += kSeparator;
  line += time;
  line += kSeparator;
  AppendEscaped(line, entry.zsr);
  return line;
}

bool SplitRegisterLine(std::string_view line, RegisterFields* fields, std::string* storage) {
  std::string_view pieces[4];
  if (SplitEscapedLine(line, pieces)) {
    // The three texts unescaped one after the other; the views are taken once all are in place.
    storage->clear();
    size_t ends[3];
    const std::string_view* texts[3] = {&pieces[0], &pieces[1], &pieces[3]};
    for (size_t i = 0; i < 3; ++i) {
      storage->append(Unescape(*texts[i]));
      ends[i] = storage->size();
    }
    std::string_view all(*storage);
    pieces[0] = all.substr(0, ends[0]);
    pieces[1] = all.substr(ends[0], ends[1] - ends[0]);
    pieces[3] = all.substr(ends[1], ends[2] - ends[1]);
  } else {
    // The ordinary form: the first four non-empty pieces between "|", CR and LF.
    size_t found = 0;
    size_t pos = 0;
    while (found < 4 && pos < line.size()) {
      while (pos < line.size() && IsLineSeparator(line[pos])) ++pos;
      size_t start = pos;
      while (pos < line.size() && !IsLineSeparator(line[pos])) ++pos;
      if (pos > start) pieces[found++] = line.substr(start, pos - start);
    }
    if (found < 4) return false;
  }
  std::optional<int64_t> sentAt = ParseSentTime(pieces[2]);
  if (!sentAt) return false;
  fields->invoiceId = pieces[0];
  fields->amount = CutCharacters(pieces[1], kMaxAmountChars);
  fields->zsr = CutProviderKey(pieces[3]);
  fields->sentAt = *sentAt;
  return true;
}

std::optional<RegisterLine> ParseRegisterLine(std::string_view line) {
  RegisterFields fields;
  std::string storage;
  if (!SplitRegisterLine(line, &fields, &storage)) return std::nullopt;
  RegisterLine parsed;
  parsed.invoiceId = std::string(fields.invoiceId);
  parsed.entry.amount = std::string(fields.amount);
  parsed.entry.zsr = std::string(fields.zsr);
  parsed.entry.sentAt = fields.sentAt;
  return parsed;
}

std::optional<double> ParseAmountNumber(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size() && IsCSpace(text[pos])) ++pos;
  // from_chars takes a minus sign but no plus sign.
  if (pos < text.size() && text[pos] == '+') {
    ++pos;
    if (pos < text.size() && text[pos] == '-') return std::nullopt;
  }
  double value = 0;
  const char* begin = text.data() + pos;
  const char* end = text.data() + text.size();
  auto [next, error] = std::from_chars(begin, end, value, std::chars_format::general);
  if (error != std::errc() || next == begin) return std::nullopt;
  return value;
}

}  // namespace qx
