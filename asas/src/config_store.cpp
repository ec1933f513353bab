#include "config_store.h"

#include <algorithm>

#include "text.h"

namespace asas {
namespace {

constexpr char kConfigHeader[] =
    "# asas configuration: [login NAME], [section NAME], "
    "[list SECTION KEY]; fields percent-encoded\n";

enum class Block { kNone, kLogin, kSection, kList };

// Splits "a b c" at single blanks into decoded fields; false when a field does not decode or is
// empty.
bool SplitHeader(std::string_view inner, std::vector<std::string>* fields) {
  fields->clear();
  size_t start = 0;
  while (start <= inner.size()) {
    size_t blank = inner.find(' ', start);
    std::string_view raw = inner.substr(
        start, blank == std::string_view::npos ? std::string_view::npos : blank - start);
    auto decoded = PercentDecode(raw);
    if (!decoded || decoded->empty()) return false;
    fields->push_back(std::move(*decoded));
    if (blank == std::string_view::npos) break;
    start = blank + 1;
  }
  return true;
}

void SetEntry(std::vector<Entry>& entries, std::string name, std::string value) {
  for (auto& e : entries) {
    if (e.name == name) {
      e.value = std::move(value);
      return;
    }
  }
  entries.push_back({std::move(name), std::move(value)});
}

ConfigSection& SectionFor(Config& config, std::string_view name) {
  for (auto& s : config.sections)
    if (s.name == name) return s;
  config.sections.push_back({std::string(name), {}});
  return config.sections.back();
}

}  // namespace

const std::string* LoginRecord::Find(std::string_view entry) const {
  for (const auto& e : entries)
    if (e.name == entry) return &e.value;
  return nullptr;
}

const LoginRecord* Config::FindLogin(std::string_view name) const {
  for (const auto& l : logins)
    if (l.name == name) return &l;
  return nullptr;
}

const ConfigKey* Config::FindKey(std::string_view section, std::string_view key) const {
  for (const auto& s : sections) {
    if (s.name != section) continue;
    for (const auto& k : s.keys)
      if (k.name == key) return &k;
  }
  return nullptr;
}

ConfigKey& Config::KeyFor(std::string_view section, std::string_view key) {
  ConfigSection& s = SectionFor(*this, section);
  for (auto& k : s.keys)
    if (k.name == key) return k;
  s.keys.push_back({std::string(key), false, {}, {}});
  return s.keys.back();
}

bool Config::RemoveKey(std::string_view section, std::string_view key) {
  for (auto s = sections.begin(); s != sections.end(); ++s) {
    if (s->name != section) continue;
    auto k = std::find_if(s->keys.begin(), s->keys.end(),
                          [&](const ConfigKey& c) { return c.name == key; });
    if (k == s->keys.end()) return false;
    s->keys.erase(k);
    if (s->keys.empty()) sections.erase(s);
    return true;
  }
  return false;
}

std::string SerializeConfig(const Config& config) {
  std::string out = kConfigHeader;
  auto entries = [&](const std::vector<Entry>& list) {
    for (const auto& e : list) out += PercentEncode(e.name) + "=" + PercentEncode(e.value) + "\n";
  };
  for (const auto& login : config.logins) {
    out += "[login " + PercentEncode(login.name) + "]\n";
    entries(login.entries);
  }
  for (const auto& section : config.sections) {
    out += "[section " + PercentEncode(section.name) + "]\n";
    for (const auto& key : section.keys)
      if (!key.is_list) out += PercentEncode(key.name) + "=" + PercentEncode(key.value) + "\n";
    for (const auto& key : section.keys) {
      if (!key.is_list) continue;
      out += "[list " + PercentEncode(section.name) + " " + PercentEncode(key.name) + "]\n";
      entries(key.entries);
    }
  }
  return out;
}

HRESULT ParseConfig(std::string_view text, Config* out) {
  Config config;
  Block block = Block::kNone;
  std::string login, section, key;
  std::vector<std::string> fields;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    std::string_view line =
        text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    pos = end == std::string_view::npos ? text.size() : end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == '#') continue;

    if (line.front() == '[') {
      if (line.back() != ']' || !SplitHeader(line.substr(1, line.size() - 2), &fields))
        return kStoreCorrupt;
      if (fields[0] == "login" && fields.size() == 2) {
        block = Block::kLogin;
        login = fields[1];
        if (!config.FindLogin(login)) config.logins.push_back({login, {}});
      } else if (fields[0] == "section" && fields.size() == 2) {
        block = Block::kSection;
        section = fields[1];
        SectionFor(config, section);
      } else if (fields[0] == "list" && fields.size() == 3) {
        block = Block::kList;
        section = fields[1];
        key = fields[2];
        const ConfigKey* existing = config.FindKey(section, key);
        if (existing && !existing->is_list) return kStoreCorrupt;
        config.KeyFor(section, key).is_list = true;
      } else {
        return kStoreCorrupt;
      }
      continue;
    }

    size_t eq = line.find('=');
    if (eq == std::string_view::npos || block == Block::kNone) return kStoreCorrupt;
    auto name = PercentDecode(line.substr(0, eq));
    auto value = PercentDecode(line.substr(eq + 1));
    if (!name || !value || name->empty() || value->size() > kMaxValueBytes) return kStoreCorrupt;
    switch (block) {
      case Block::kLogin:
        for (auto& l : config.logins)
          if (l.name == login) SetEntry(l.entries, std::move(*name), std::move(*value));
        break;
      case Block::kSection: {
        const ConfigKey* existing = config.FindKey(section, *name);
        if (existing && existing->is_list) return kStoreCorrupt;
        config.KeyFor(section, *name).value = std::move(*value);
        break;
      }
      case Block::kList:
        SetEntry(config.KeyFor(section, key).entries, std::move(*name), std::move(*value));
        break;
      case Block::kNone:
        break;
    }
  }
  *out = std::move(config);
  return qx::S_OK;
}

HRESULT LockHome(const Home& home, FileLock* lock) {
  HRESULT hr = home.Ensure();
  if (qx::Failed(hr)) return hr;
  return FileLock::Acquire(home.LockPath(), lock);
}

HRESULT LoadConfig(const Home& home, Config* out) {
  std::string text;
  HRESULT hr = ReadFileBounded(home.ConfigPath(), kMaxConfigBytes, &text);
  if (hr == HresultFromErrno(ENOENT)) {
    *out = Config{};
    return qx::S_OK;
  }
  if (qx::Failed(hr)) return hr;
  return ParseConfig(text, out);
}

HRESULT SaveConfig(const Home& home, const Config& config) {
  return WriteFileAtomic(home.ConfigPath(), SerializeConfig(config), 0600);
}

}  // namespace asas
