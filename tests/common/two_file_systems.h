// Two private folders on different file systems, for moves across them: one on /dev/shm (tmpfs)
// and one on disk (TMPDIR or /tmp, else the build folder). Removed with their content at the
// end. Header-only.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

namespace qx::testing {

class TwoFileSystems {
 public:
  TwoFileSystems() {
    struct stat m, d;
    if (!Make("/dev/shm", &memory_) || ::stat(memory_.c_str(), &m) != 0) return;
    const char* tmp = getenv("TMPDIR");
    for (std::string base : {std::string(tmp && *tmp ? tmp : "/tmp"), std::string("/tmp"),
                             std::string(QENDIX_BINARY_DIR)})
      if (::stat(base.c_str(), &d) == 0 && d.st_dev != m.st_dev && Make(base, &disk_)) return;
  }
  TwoFileSystems(const TwoFileSystems&) = delete;
  ~TwoFileSystems() {
    std::error_code ec;
    for (const auto& folder : {memory_, disk_})
      if (!folder.empty()) std::filesystem::remove_all(folder, ec);
  }

  // False when /dev/shm is missing or no disk folder lies on another file system.
  bool ok() const { return !memory_.empty() && !disk_.empty(); }
  const std::string& memory() const { return memory_; }
  const std::string& disk() const { return disk_; }

 private:
  static bool Make(const std::string& base, std::string* folder) {
    std::string tmpl = base + "/qendix-fs-XXXXXX";
    if (!mkdtemp(tmpl.data())) return false;
    *folder = tmpl;
    return true;
  }
  std::string memory_, disk_;
};

}  // namespace qx::testing
