// A private temporary folder for one test, removed with everything in it at destruction.
#pragma once

#include <string>

namespace qx::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Writes `content` to `path` (binary), creating or truncating it. Returns false on failure.
bool WriteFile(const std::string& path, const std::string& content);
// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);

}  // namespace qx::testing
