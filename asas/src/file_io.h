// File helpers of the security client: bounded reads of files that may be hostile, atomic
// replacement of files that other processes read, folder creation and the home's write lock.
// All functions are thread-safe and report failures as HRESULTs (errno as facility 7).
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "errors.h"

namespace asas {

// Reads the regular file at `path` into `out`. Fails with kTooLarge when it holds more than
// `max_bytes`, with the errno value when it cannot be opened or read, and with EINVAL (EISDIR for
// a folder) when it is not a regular file; FIFOs and devices are never read or waited on.
HRESULT ReadFileBounded(const std::string& path, size_t max_bytes, std::string* out);

// Whether a replaced file must survive a crash of the machine (stores), or only needs to be whole
// for its readers (short-lived exchange files such as a saved envelope).
enum class Durability { kSynced, kUnsynced };

// Replaces `path` with `data` so that readers see the old or the new file, never a part: writes a
// temporary file in the same folder with `mode`, syncs it (kSynced) and renames it over `path`.
HRESULT WriteFileAtomic(const std::string& path, std::string_view data, mode_t mode,
                        Durability durability = Durability::kSynced);

// Creates `path` and its missing parents with `mode`; an existing folder is fine.
HRESULT MakeDirectories(const std::string& path, mode_t mode);

// An exclusive advisory lock (flock) on a lock file, held until destruction. Locks of two open
// files conflict also inside one process, so objects and processes exclude each other alike; a
// process that dies releases its lock.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock();
  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Opens (creating it with mode 0600) and locks `path`, waiting for other holders.
  static HRESULT Acquire(const std::string& path, FileLock* out);
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace asas
