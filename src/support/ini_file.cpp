#include "support/ini_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <sstream>
#include <vector>

#include "platform/file_system.h"
#include "platform/hresult_errno.h"
#include "platform/unique_fd.h"

namespace qx {
namespace {

constexpr size_t kMaxIniBytes = 1 << 20;

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// Reads a regular file of at most kMaxIniBytes. 0 on success, else the errno value of the
// failure (ENOENT for a missing file, EFBIG for one too large, EINVAL for a FIFO or folder).
int ReadContent(const std::string& path, std::string* content) {
  const HRESULT hr = ReadFileLimited(path, kMaxIniBytes, content);
  if (Succeeded(hr)) return 0;
  const int error = ErrnoFromHresult(hr);
  return error != 0 ? error : EIO;
}

// The lines of the file; *error as ReadContent gives it (no lines unless 0).
std::vector<std::string> ReadLines(const std::string& path, int* error) {
  std::string content;
  std::vector<std::string> lines;
  *error = ReadContent(path, &content);
  if (*error != 0) return lines;
  std::istringstream in(content);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// "[name]" gives name; anything else nothing.
std::optional<std::string> SectionName(const std::string& line) {
  std::string t = Trim(line);
  if (t.size() >= 2 && t.front() == '[') {
    auto close = t.find(']');
    if (close != std::string::npos) return Trim(t.substr(1, close - 1));
  }
  return std::nullopt;
}

// "key=value" gives key and the raw value.
bool SplitKey(const std::string& line, std::string* key, std::string* value) {
  std::string t = Trim(line);
  if (t.empty() || t[0] == ';' || t[0] == '[') return false;
  auto eq = t.find('=');
  if (eq == std::string::npos) return false;
  *key = Trim(t.substr(0, eq));
  *value = Trim(t.substr(eq + 1));
  return true;
}

}  // namespace

const std::vector<std::string>& IniFile::Lines() const {
  if (!loaded_) {
    lines_ = ReadLines(path_, &readError_);
    loaded_ = true;
  }
  return lines_;
}

int IniFile::readError() const {
  Lines();
  return readError_;
}

bool IniFile::unreadable() const {
  int error = readError();
  return error != 0 && error != ENOENT;
}

std::optional<std::string> IniFile::ReadString(const std::string& section,
                                               const std::string& key) const {
  bool in_section = false;
  for (const auto& line : Lines()) {
    if (auto name = SectionName(line)) {
      in_section = EqualsNoCase(*name, section);
      continue;
    }
    std::string k, v;
    if (in_section && SplitKey(line, &k, &v) && EqualsNoCase(k, key)) {
      if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
      return v;
    }
  }
  return std::nullopt;
}

long long IniFile::ReadInt(const std::string& section, const std::string& key,
                           long long fallback) const {
  auto text = ReadString(section, key);
  if (!text) return fallback;
  size_t i = 0;
  while (i < text->size() && ((*text)[i] == ' ' || (*text)[i] == '\t')) ++i;
  bool negative = false;
  if (i < text->size() && ((*text)[i] == '-' || (*text)[i] == '+')) negative = (*text)[i++] == '-';
  if (i >= text->size() || !std::isdigit(static_cast<unsigned char>((*text)[i]))) return fallback;
  long long value = 0;
  for (; i < text->size() && std::isdigit(static_cast<unsigned char>((*text)[i])); ++i) {
    int digit = (*text)[i] - '0';
    value = value > (LLONG_MAX - digit) / 10 ? LLONG_MAX : value * 10 + digit;
  }
  return negative ? -value : value;
}

bool IniFile::WriteString(const std::string& section, const std::string& key,
                          const std::optional<std::string>& value) const {
  return WriteStrings(section, {{key, value}});
}

namespace {

// Sets or removes one key in the lines of a file.
void SetKey(std::vector<std::string>& lines, const std::string& section, const std::string& key,
            const std::optional<std::string>& raw_value) {
  // A line break inside a value would start a new line of the file and could forge other keys.
  std::optional<std::string> value = raw_value;
  if (value)
    for (char& c : *value)
      if (c == '\r' || c == '\n') c = ' ';
  // A value the reader would change (blanks at either end, or one pair of surrounding quotes,
  // which it takes off) is written in quotes, so that it reads back as it was set.
  if (value && (Trim(*value) != *value ||
                (value->size() >= 2 && value->front() == '"' && value->back() == '"')))
    value = '"' + *value + '"';
  bool in_section = false, section_seen = false, done = false;
  size_t section_end = 0;  // index after the last line of the target section
  for (size_t i = 0; i < lines.size() && !done; ++i) {
    if (auto name = SectionName(lines[i])) {
      in_section = EqualsNoCase(*name, section);
      if (in_section) {
        section_seen = true;
        section_end = i + 1;
      }
      continue;
    }
    if (!in_section) continue;
    std::string k, v;
    if (SplitKey(lines[i], &k, &v) && EqualsNoCase(k, key)) {
      if (value)
        lines[i] = k + "=" + *value;
      else
        lines.erase(lines.begin() + static_cast<long>(i));
      done = true;
    } else if (!Trim(lines[i]).empty()) {
      section_end = i + 1;
    }
  }
  if (!done) {
    if (!value) return;  // nothing to remove
    if (section_seen) {
      lines.insert(lines.begin() + static_cast<long>(section_end), key + "=" + *value);
    } else {
      lines.push_back("[" + section + "]");
      lines.push_back(key + "=" + *value);
    }
  }
}

}  // namespace

bool IniFile::WriteStrings(const std::string& section, const std::vector<KeyValue>& values) const {
  int error = 0;
  std::vector<std::string> lines = ReadLines(path_, &error);
  if (error != 0 && error != ENOENT) {
    errno = error;
    return false;
  }
  for (const auto& [key, value] : values) SetKey(lines, section, key, value);
  std::string out;
  for (const auto& line : lines) out += line + "\n";
  if (Failed(WriteFileAtomically(path_, out, kPrivateFileMode))) return false;
  lines_ = std::move(lines);
  loaded_ = true;
  readError_ = 0;
  return true;
}

}  // namespace qx
