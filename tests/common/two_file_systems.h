// Two private folders on different file systems, for moves across them: one on /dev/shm (tmpfs,
// where an invoice folder may lie) and one on a disk file system (TMPDIR or /tmp, else the build
// folder). Both are removed with their content at destruction. Header-only.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

namespace qx::testing {

class TwoFileSystems {
 public:
  TwoFileSystems() {
    memory_ = MakeFolder("/dev/shm");
    struct stat m;
    if (memory_.empty() || ::stat(memory_.c_str(), &m) != 0) return;
    const char* tmp = getenv("TMPDIR");
    std::string bases[] = {tmp && *tmp ? tmp : "/tmp", "/tmp", QENDIX_BINARY_DIR};
    for (const auto& base : bases) {
      struct stat d;
      if (::stat(base.c_str(), &d) != 0 || d.st_dev == m.st_dev) continue;
      disk_ = MakeFolder(base);
      if (!disk_.empty()) return;
    }
  }
  ~TwoFileSystems() {
    std::error_code ec;
    if (!memory_.empty()) std::filesystem::remove_all(memory_, ec);
    if (!disk_.empty()) std::filesystem::remove_all(disk_, ec);
  }
  TwoFileSystems(const TwoFileSystems&) = delete;
  TwoFileSystems& operator=(const TwoFileSystems&) = delete;

  // False when /dev/shm is missing or no disk folder lies on another file system.
  bool ok() const { return !memory_.empty() && !disk_.empty(); }
  const std::string& memory() const { return memory_; }
  const std::string& disk() const { return disk_; }

 private:
  static std::string MakeFolder(const std::string& base) {
    std::string tmpl = base + "/qendix-fs-XXXXXX";
    return mkdtemp(tmpl.data()) ? tmpl : std::string();
  }
  std::string memory_;
  std::string disk_;
};

}  // namespace qx::testing
