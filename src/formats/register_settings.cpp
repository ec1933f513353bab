#include "formats/register_settings.h"

#include <fstream>
#include <limits>
#include <string_view>

#include "platform/module.h"

namespace qx {
namespace {

std::string_view Trim(std::string_view text) {
  const std::string_view blanks = " \t\r\n\v\f";
  size_t begin = text.find_first_not_of(blanks);
  if (begin == std::string_view::npos) return {};
  size_t end = text.find_last_not_of(blanks);
  return text.substr(begin, end - begin + 1);
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
    if (x != y) return false;
  }
  return true;
}

// The integer at the start of `text` (optional sign, digits), held within the range of int;
// 0 when there is none.
int LeadingInteger(std::string_view text) {
  size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) negative = text[pos++] == '-';
  int64_t value = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    value = value * 10 + (text[pos] - '0');
    if (value > std::numeric_limits<int>::max()) value = std::numeric_limits<int>::max();
  }
  return static_cast<int>(negative ? -value : value);
}

}  // namespace

std::string DefaultRegisterPath() {
  return ModuleDirectory() + "/qendix.log";
}

std::string DefaultSettingsPath() {
  return ModuleDirectory() + "/qendix.ini";
}

int ReadDlogMaxMonths(const std::string& iniPath) {
  std::ifstream in(iniPath, std::ios::in | std::ios::binary);
  std::string line;
  bool inGlobals = false;
  while (in && std::getline(in, line)) {
    std::string_view text = Trim(line);
    if (!text.empty() && text.front() == '[') {
      size_t close = text.find(']');
      if (close == std::string_view::npos) continue;
      inGlobals = EqualsIgnoringCase(Trim(text.substr(1, close - 1)), "globals");
      continue;
    }
    if (!inGlobals) continue;
    size_t equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    if (!EqualsIgnoringCase(Trim(text.substr(0, equals)), "dlog_max")) continue;
    std::string_view value = Trim(text.substr(equals + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    int months = LeadingInteger(Trim(value));
    return months < 1 ? 1 : months;
  }
  return 1;
}

}  // namespace qx
