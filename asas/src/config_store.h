// The configuration store in <home>/config: logins with their entries, and sections whose keys
// hold either one value or a list of named entries (section "smime", key "key" lists
// "<identity>_key" = key reference).
//
// File format (UTF-8 text, LF line ends; "#" lines and empty lines are ignored):
//
//   [login NAME]            starts the entries of a login
//   ENTRY=VALUE
//   [section NAME]          starts the single-valued keys of a section
//   KEY=VALUE
//   [list SECTION KEY]      starts the entries of a list-valued key
//   ENTRY=VALUE
//
// Every NAME, ENTRY, KEY and VALUE is percent-encoded (text.h), so any byte string can be stored
// and a line never holds more than one "=" or a blank inside a header field. The order of
// logins, sections, keys and entries is kept.
//
// Readers take no lock: the file is only ever replaced by an atomic rename. Writers hold the
// home's lock (LockHome) across load, change and save, so that concurrent writers in any process
// never lose each other's changes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "errors.h"
#include "file_io.h"
#include "home.h"

namespace asas {

struct Entry {
  std::string name;
  std::string value;
  friend bool operator==(const Entry&, const Entry&) = default;
};

struct LoginRecord {
  std::string name;
  std::vector<Entry> entries;
  // The value of the entry `name`, or null when absent.
  const std::string* Find(std::string_view entry) const;
};

struct ConfigKey {
  std::string name;
  bool is_list = false;
  std::string value;           // when !is_list
  std::vector<Entry> entries;  // when is_list
};

struct ConfigSection {
  std::string name;
  std::vector<ConfigKey> keys;
};

struct Config {
  std::vector<LoginRecord> logins;
  std::vector<ConfigSection> sections;

  const LoginRecord* FindLogin(std::string_view name) const;
  const ConfigKey* FindKey(std::string_view section, std::string_view key) const;
  // The key, created (single-valued, empty) with its section when missing.
  ConfigKey& KeyFor(std::string_view section, std::string_view key);
  // Removes the key (and its section when that becomes empty); false when it was not there.
  bool RemoveKey(std::string_view section, std::string_view key);
};

// Limits that keep a damaged or hostile store from exhausting memory.
constexpr size_t kMaxConfigBytes = 4 * 1024 * 1024;
constexpr size_t kMaxValueBytes = 64 * 1024;

std::string SerializeConfig(const Config& config);
// kStoreCorrupt for text that does not follow the format.
HRESULT ParseConfig(std::string_view text, Config* out);

// Takes the home's write lock (creating the home when needed).
HRESULT LockHome(const Home& home, FileLock* lock);

// Reads <home>/config; a missing file or home gives an empty configuration.
HRESULT LoadConfig(const Home& home, Config* out);
// Replaces <home>/config; the caller holds the home's lock.
HRESULT SaveConfig(const Home& home, const Config& config);

}  // namespace asas
