#include "file_io.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "fault_injection.h"

namespace asas {
namespace {

// Closes a descriptor on every way out.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

std::string ParentOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

HRESULT WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = FaultHit(FaultKind::kWrite) ? -1 : write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return HresultFromErrno(errno);
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return qx::S_OK;
}

}  // namespace

HRESULT ReadFileBounded(const std::string& path, size_t max_bytes, std::string* out) {
  out->clear();
  Fd fd(FaultHit(FaultKind::kOpen)
            ? -1
            : open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) return HresultFromErrno(errno);
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return HresultFromErrno(errno);
  if (S_ISDIR(st.st_mode)) return HresultFromErrno(EISDIR);
  if (!S_ISREG(st.st_mode)) return HresultFromErrno(EINVAL);
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > max_bytes) return kTooLarge;
  // The size may change while reading: read until end of file, but never beyond the bound.
  out->reserve(static_cast<size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    ssize_t n = FaultHit(FaultKind::kRead) ? -1 : read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      HRESULT hr = HresultFromErrno(errno);
      out->clear();
      return hr;
    }
    if (n == 0) break;
    if (out->size() + static_cast<size_t>(n) > max_bytes) {
      out->clear();
      return kTooLarge;
    }
    out->append(buffer, static_cast<size_t>(n));
  }
  return qx::S_OK;
}

HRESULT WriteFileAtomic(const std::string& path, std::string_view data, mode_t mode,
                        Durability durability) {
  std::string temp = path + ".tmp.XXXXXX";
  Fd fd(FaultHit(FaultKind::kOpen) ? -1 : mkostemp(temp.data(), O_CLOEXEC));
  if (fd.get() < 0) return HresultFromErrno(errno);
  HRESULT hr = qx::S_OK;
  if (fchmod(fd.get(), mode) != 0) hr = HresultFromErrno(errno);
  if (qx::Succeeded(hr)) hr = WriteAll(fd.get(), data);
  bool synced = durability == Durability::kSynced;
  if (qx::Succeeded(hr) && synced && (FaultHit(FaultKind::kFsync) || fsync(fd.get()) != 0))
    hr = HresultFromErrno(errno);
  if (qx::Succeeded(hr) && close(fd.release()) != 0) hr = HresultFromErrno(errno);
  if (qx::Succeeded(hr) &&
      (FaultHit(FaultKind::kRename) || rename(temp.c_str(), path.c_str()) != 0))
    hr = HresultFromErrno(errno);
  if (qx::Failed(hr)) {
    if (!FaultHit(FaultKind::kUnlink)) unlink(temp.c_str());
    return hr;
  }
  if (!synced) return qx::S_OK;
  // Make the rename itself durable; a failure here does not undo the replacement.
  Fd dir(open(ParentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0 && !FaultHit(FaultKind::kFsync)) fsync(dir.get());
  return qx::S_OK;
}

HRESULT MakeDirectories(const std::string& path, mode_t mode) {
  if (path.empty()) return qx::E_INVALIDARG;
  struct stat st;
  if (stat(path.c_str(), &st) == 0)
    return S_ISDIR(st.st_mode) ? qx::S_OK : HresultFromErrno(ENOTDIR);
  std::string parent = ParentOf(path);
  if (parent != path && parent != "." && parent != "/") {
    HRESULT hr = MakeDirectories(parent, mode);
    if (qx::Failed(hr)) return hr;
  }
  if ((FaultHit(FaultKind::kMkdir) || mkdir(path.c_str(), mode) != 0) && errno != EEXIST)
    return HresultFromErrno(errno);
  return qx::S_OK;
}

FileLock::~FileLock() {
  if (fd_ >= 0) close(fd_);  // closing the last descriptor releases the flock
}

FileLock::FileLock(FileLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

HRESULT FileLock::Acquire(const std::string& path, FileLock* out) {
  Fd fd(FaultHit(FaultKind::kOpen)
            ? -1
            : open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (fd.get() < 0) return HresultFromErrno(errno);
  while (flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return HresultFromErrno(errno);
  }
  FileLock lock;
  lock.fd_ = fd.release();
  *out = std::move(lock);
  return qx::S_OK;
}

}  // namespace asas
