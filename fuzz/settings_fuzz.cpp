// Fuzzes the settings file: any content is loaded, the first-run defaults applied and the
// settings stored back, as the component does at every start and release. Checks: a value that
// is present is never changed by the defaults; storing what was loaded and loading again gives
// the same settings (a CR inside a value comes back as a blank); a second store writes the same
// file; every key of another section, and every other key of the settings' own section, reads
// as before.
#include <strings.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "platform/file_system.h"
#include "scratch.h"
#include "support/ini_file.h"
#include "support/settings.h"

namespace {

constexpr const char* kKeys[] = {"trustCenter", "inputDir", "workDir", "asasLogin",
                                 "withPDF",     "archive",  "debug"};

// The settings as a store writes them: a CR inside a value becomes a blank, so that no reader of
// the file sees a line break there.
qx::SettingsValues Stored(qx::SettingsValues v) {
  for (qx::BStr* text : {&v.trustCenter, &v.inputDirectory, &v.workDirectory, &v.asasLogin})
    if (*text) std::replace(text->value().begin(), text->value().end(), '\r', ' ');
  return v;
}

bool Same(const qx::SettingsValues& a, const qx::SettingsValues& b) {
  return a.trustCenter == b.trustCenter && a.inputDirectory == b.inputDirectory &&
         a.workDirectory == b.workDirectory && a.asasLogin == b.asasLogin &&
         a.options == b.options && a.unreadable == b.unreadable;
}

std::string Read(const std::string& path) {
  std::string content;
  if (qx::Failed(qx::ReadFileLimited(path, 4u << 20, &content))) abort();
  return content;
}

bool IsSettingsKey(const std::string& section, const std::string& key) {
  if (strcasecmp(section.c_str(), "globals") != 0) return false;
  for (const char* k : kKeys)
    if (strcasecmp(key.c_str(), k) == 0) return true;
  return false;
}

// Every (section, key) the file seems to name, found by a rough reading of its lines; the file's
// own reader decides what they hold.
std::set<std::pair<std::string, std::string>> NamedKeys(const std::string& text) {
  std::set<std::pair<std::string, std::string>> keys;
  std::string section;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? end : end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    if (line[first] == '[') {
      const size_t close = line.find(']', first);
      if (close != std::string::npos) section = line.substr(first + 1, close - first - 1);
    } else if (const size_t eq = line.find('='); eq != std::string::npos && eq > first) {
      keys.emplace(section, line.substr(first, eq - first));
    }
  }
  return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string path = fuzz::WriteScratch("qendix.ini", bytes);
  qx::SetSettingsPath(path);

  std::set<std::pair<std::string, std::string>> others;
  for (auto& [section, key] : NamedKeys(bytes)) {
    // Blanks around names are not part of them; the reader trims them.
    const auto trim = [](const std::string& s) {
      const size_t b = s.find_first_not_of(" \t\r"), e = s.find_last_not_of(" \t\r");
      return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
    };
    if (!IsSettingsKey(trim(section), trim(key))) others.emplace(trim(section), trim(key));
  }
  std::map<std::pair<std::string, std::string>, std::optional<std::string>> before;
  {
    qx::IniFile ini(path);
    if (ini.unreadable()) abort();
    for (const auto& k : others) before[k] = ini.ReadString(k.first, k.second);
  }

  const qx::SettingsValues loaded = qx::LoadSettings();
  qx::ApplyFirstRunDefaults(fuzz::ScratchFolder());
  const qx::SettingsValues defaulted = qx::LoadSettings();
  for (auto [was, now] : {std::pair{&loaded.trustCenter, &defaulted.trustCenter},
                          {&loaded.inputDirectory, &defaulted.inputDirectory},
                          {&loaded.workDirectory, &defaulted.workDirectory}})
    if (!was->value_or("").empty() && *was != *now) abort();
  if (loaded.options & ~defaulted.options) abort();

  qx::StoreSettings(defaulted);
  const std::string stored = Read(path);
  if (!Same(qx::LoadSettings(), Stored(defaulted))) abort();
  qx::StoreSettings(qx::LoadSettings());
  if (Read(path) != stored) abort();

  qx::IniFile ini(path);
  for (const auto& [k, value] : before)
    if (ini.ReadString(k.first, k.second) != value) abort();
  return 0;
}
