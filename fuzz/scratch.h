// Scratch files for fuzz targets whose code reads a path: one private folder per process (on
// /dev/shm when there is one, so that rewrites and syncs stay in memory), removed at exit.
#pragma once

#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace fuzz {

inline const std::string& ScratchFolder() {
  static const std::string folder = [] {
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string path = base + "/qendix-fuzz-XXXXXX";
    if (!mkdtemp(path.data())) abort();
    atexit([] {
      nftw(
          ScratchFolder().c_str(),
          [](const char* p, const struct stat*, int, FTW*) { return ::remove(p); }, 16,
          FTW_DEPTH | FTW_PHYS);
    });
    return path;
  }();
  return folder;
}

// Writes `bytes` as the file `name` in the scratch folder; its path.
inline std::string WriteScratch(const std::string& name, std::string_view bytes) {
  const std::string path = ScratchFolder() + "/" + name;
  if (qx::Failed(qx::WriteFileAtomically(path, std::string(bytes), 0600))) abort();
  return path;
}

}  // namespace fuzz
