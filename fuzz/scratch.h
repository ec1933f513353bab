// Scratch files for fuzz targets whose code reads a path: one private folder per process (on
// /dev/shm when there is one, so that rewrites and syncs stay in memory). libFuzzer ends with
// _Exit, which runs no exit handler, so each process removes the folders of processes that are
// gone when it makes its own.
#pragma once

#include <dirent.h>
#include <ftw.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace fuzz {

inline const std::string& ScratchFolder() {
  static const std::string folder = [] {
    const std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    const std::string prefix = "qendix-fuzz-";
    if (DIR* dir = opendir(base.c_str())) {
      while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        const long pid = name.rfind(prefix, 0) == 0 ? atol(name.c_str() + prefix.size()) : 0;
        if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
          nftw((base + "/" + name).c_str(),
               [](const char* p, const struct stat*, int, FTW*) { return ::remove(p); }, 16,
               FTW_DEPTH | FTW_PHYS);
      }
      closedir(dir);
    }
    std::string path = base + "/" + prefix + std::to_string(getpid()) + "-XXXXXX";
    if (!mkdtemp(path.data())) abort();
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
