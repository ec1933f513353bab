#include "support/system_description.h"

#include <sys/utsname.h>

#include <fstream>
#include <string>

namespace qx {
namespace {

// PRETTY_NAME (or NAME) of an os-release file; quotes and escapes removed.
std::string OsPrettyName(const char* path) {
  std::ifstream in(path);
  std::string line, name, pretty;
  int lines = 0;
  while (std::getline(in, line) && ++lines < 200) {
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq);
    std::string raw = line.substr(eq + 1);
    std::string value;
    char quote = 0;
    for (size_t i = 0; i < raw.size(); ++i) {
      char c = raw[i];
      if (!quote && (c == '"' || c == '\'')) {
        quote = c;
      } else if (quote && c == quote) {
        quote = 0;
      } else if (c == '\\' && i + 1 < raw.size() && quote != '\'') {
        value += raw[++i];
      } else {
        value += c;
      }
    }
    if (key == "PRETTY_NAME") pretty = value;
    if (key == "NAME") name = value;
  }
  std::string result = pretty.empty() ? name : pretty;
  // One line, printable.
  for (char& c : result)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  return result.substr(0, 200);
}

}  // namespace

std::string SystemDescription() {
  std::string os = OsPrettyName("/etc/os-release");
  if (os.empty()) os = OsPrettyName("/usr/lib/os-release");
  std::string kernel;
  struct utsname u;
  if (uname(&u) == 0) kernel = std::string(u.sysname) + " " + u.release + " " + u.machine;
  if (os.empty()) return kernel;
  if (kernel.empty()) return os;
  return os + ", " + kernel;
}

std::string GeneratorText() {
  return std::string(kVersionText) + " / " + SystemDescription();
}

}  // namespace qx
