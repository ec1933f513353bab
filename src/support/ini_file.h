// An INI file with the semantics of the Windows private-profile functions: sections and keys
// compared without regard to ASCII case, a missing key distinct from an empty one, a null value
// removing the key. The file is read once, at the first read through this object; every write
// reads the current file, changes its keys and rewrites the file atomically, keeping every
// section, key and line it does not touch, and the object then reads what it wrote.
//
// A file that exists but cannot be read (larger than 1 MB, not a regular file, no permission, a
// read error) reads as holding no keys, and every write to it fails without touching it: a
// rewrite from an empty view would drop every key it does not set. A missing file is no failure.
//
// Not thread-safe by itself; concurrent writers in several processes each replace the file whole
// (the last writer's view of the other keys wins, as with the profile functions).
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qx {

class IniFile {
 public:
  explicit IniFile(std::string path) : path_(std::move(path)) {}

  const std::string& path() const { return path_; }

  // The result of reading the file (read at the first call if not yet read): 0 when it was read,
  // ENOENT when it does not exist, else the errno value of the failure (EFBIG when too large,
  // EINVAL when not a regular file).
  int readError() const;
  // True when the file exists but could not be read (readError() other than 0 and ENOENT).
  bool unreadable() const;

  // The value, or nothing when the section or key is missing (or the file cannot be read).
  // Surrounding blanks are removed, and one pair of surrounding double quotes.
  std::optional<std::string> ReadString(const std::string& section, const std::string& key) const;

  // The value read as a decimal integer (leading blanks, optional sign, digits); `fallback` when
  // missing or not a number.
  long long ReadInt(const std::string& section, const std::string& key, long long fallback) const;

  // Sets the key (creating section and file as needed); a null value removes the key. A line
  // break in the value is written as a blank; a value that would not read back as it is (blanks
  // at either end, surrounding quotes) is written in quotes. False, with errno set and the file
  // untouched, when the file exists but cannot be read or cannot be replaced.
  bool WriteString(const std::string& section, const std::string& key,
                   const std::optional<std::string>& value) const;

  // Several keys of one section in one rewrite of the file.
  using KeyValue = std::pair<std::string, std::optional<std::string>>;
  bool WriteStrings(const std::string& section, const std::vector<KeyValue>& values) const;

 private:
  const std::vector<std::string>& Lines() const;

  std::string path_;
  mutable bool loaded_ = false;
  mutable int readError_ = 0;
  mutable std::vector<std::string> lines_;
};

}  // namespace qx
