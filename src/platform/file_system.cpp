#include "platform/file_system.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <random>
#include <string_view>
#include <utility>

#include "platform/fault_injection.h"
#include "platform/hresult_errno.h"
#include "platform/unique_fd.h"

namespace qx {
namespace {

// The tag between the target name and the random part of a move's temporary copy. Only names
// with it are removed by RemoveMoveLeftovers; WriteFileAtomically's temporaries have none.
constexpr std::string_view kMoveTag = ".move-";
constexpr size_t kRandomChars = 6;  // the "XXXXXX" of mkostemp
constexpr size_t kCopyBlock = 65536;

// The errno of the failure just seen, as a result.
HRESULT ErrnoResult() {
  return HresultFromErrno(errno);
}

HRESULT WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = sys::Write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoResult();
    }
    if (n == 0) return HresultFromErrno(EIO);
    data += n;
    size -= static_cast<size_t>(n);
  }
  return S_OK;
}

// Flushes a folder, so that the names made or removed in it survive a crash. File systems that
// cannot flush a folder (EINVAL) count as flushed.

// Removes a temporary file at the end of its scope unless it was kept.
class TempName {
 public:
  explicit TempName(std::string path) : path_(std::move(path)) {}
  ~TempName() {
    if (!path_.empty()) sys::Unlink(path_.c_str());
  }
  TempName(const TempName&) = delete;
  TempName& operator=(const TempName&) = delete;
  void Keep() { path_.clear(); }

 private:
  std::string path_;
};

// Creates a uniquely named file "." + stem + tag + "XXXXXX" in `folder`, mode 0600 (mkostemp);
// the stem is cut so that the name fits NAME_MAX. Returns its descriptor and path.
int CreateTempIn(const std::string& folder, const std::string& stem, std::string_view tag,
                 std::string* path) {
  const size_t room = NAME_MAX - 1 - tag.size() - kRandomChars;
  std::string name = "." + stem.substr(0, room);
  name.append(tag).append(kRandomChars, 'X');
  std::string tmpl = JoinPath(folder, name);
  int fd = sys::Mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd >= 0) *path = tmpl;
  return fd;
}

bool IsMoveLeftoverName(std::string_view name) {
  const size_t tail = kMoveTag.size() + kRandomChars;
  if (name.size() < 1 + tail || name[0] != '.') return false;
  if (name.substr(name.size() - tail, kMoveTag.size()) != kMoveTag) return false;
  for (char c : name.substr(name.size() - kRandomChars))
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
  return true;
}

// ELOOP for a link, EINVAL for anything else that is not a regular file.
HRESULT CheckRegular(const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return HresultFromErrno(ELOOP);
  if (!S_ISREG(st.st_mode)) return HresultFromErrno(EINVAL);
  return S_OK;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool SameContentStamp(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Renames within one file system without replacing. Where the file system cannot rename without
// replacing, a hard link is published only when the name is free, then the old name goes; when
// it cannot go, the new name is taken back, so the file never stays under both names.
HRESULT RenameNoReplace(const std::string& from, const std::string& to) {
  if (sys::Renameat2(from.c_str(), to.c_str(), RENAME_NOREPLACE) == 0) return S_OK;
  if (errno != EINVAL && errno != ENOSYS) return ErrnoResult();
  if (sys::Link(from.c_str(), to.c_str()) != 0) return ErrnoResult();
  if (sys::Unlink(from.c_str()) != 0) {
    HRESULT hr = ErrnoResult();
    sys::Unlink(to.c_str());
    return hr;
  }
  return S_OK;
}

// Copies `size` bytes from `in` to `out`. A file that turns out longer or shorter is changing
// under the copy: EBUSY. Holes of a sparse file read as zeros and are written as such; the size
// bound keeps that finite.
HRESULT CopyExactly(int in, int out, uint64_t size) {
  char buffer[kCopyBlock];
  uint64_t total = 0;
  for (;;) {
    ssize_t n = sys::Read(in, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoResult();
    }
    if (n == 0) break;
    total += static_cast<uint64_t>(n);
    if (total > size) return HresultFromErrno(EBUSY);
    if (HRESULT hr = WriteAll(out, buffer, static_cast<size_t>(n)); Failed(hr)) return hr;
  }
  return total == size ? S_OK : HresultFromErrno(EBUSY);
}

// The move across file systems; `listed` is what lstat saw of `from` just before.
HRESULT CopyAcrossNoReplace(const std::string& from, const std::string& to,
                            const struct stat& listed) {
  // One descriptor for checking and copying: no link is followed, a FIFO does not block.
  UniqueFd in(sys::Open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  if (!in.valid()) return ErrnoResult();
  struct stat before;
  if (::fstat(in.get(), &before) != 0) return ErrnoResult();
  if (HRESULT hr = CheckRegular(before); Failed(hr)) return hr;
  if (!SameFile(before, listed)) return HresultFromErrno(EAGAIN);
  if (static_cast<uint64_t>(before.st_size) > kMaxMoveCopyBytes) return HresultFromErrno(EFBIG);

  std::string temp;
  UniqueFd out(CreateTempIn(FolderOf(to), BaseName(to), kMoveTag, &temp));
  if (!out.valid()) return ErrnoResult();
  TempName tempName(temp);
  // Created 0600; set again so that no umask or default ACL decides. The source's mode bits
  // (setuid, setgid, sticky, group and world bits) are never carried over.
  if (::fchmod(out.get(), kPrivateFileMode) != 0) return ErrnoResult();
  if (HRESULT hr = CopyExactly(in.get(), out.get(), static_cast<uint64_t>(before.st_size));
      Failed(hr))
    return hr;
  struct stat after;
  if (::fstat(in.get(), &after) != 0) return ErrnoResult();
  if (!SameContentStamp(before, after)) return HresultFromErrno(EBUSY);
  if (sys::Fsync(out.get()) != 0) return ErrnoResult();
  if (::close(out.release()) != 0) return ErrnoResult();
  // The name must still hold the file that was copied before the copy is published.
  struct stat current;
  if (::lstat(from.c_str(), &current) != 0) return ErrnoResult();
  if (!SameFile(current, before)) return HresultFromErrno(EAGAIN);

  if (HRESULT hr = RenameNoReplace(temp, to); Failed(hr)) return hr;
  tempName.Keep();
  // The source goes only once the copy is durable, and only while its name still holds the
  // copied file; otherwise the copy is taken back so the file exists exactly once.
  HRESULT hr = SyncFolder(FolderOf(to));
  if (Succeeded(hr) && ::lstat(from.c_str(), &current) != 0) {
    // The source vanished meanwhile: the published copy is the file's only place.
    if (errno == ENOENT) return S_OK;
    hr = ErrnoResult();
  }
  if (Succeeded(hr) && !SameFile(current, before)) hr = HresultFromErrno(EAGAIN);
  if (Succeeded(hr) && sys::Unlink(from.c_str()) != 0) hr = ErrnoResult();
  if (Failed(hr)) {
    sys::Unlink(to.c_str());
    return hr;
  }
  // The move is done; a source folder that cannot be flushed may show the file again after a
  // crash, which is a duplicate, not a loss.
  SyncFolder(FolderOf(from));
  return S_OK;
}

}  // namespace

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::string BaseName(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FolderOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool PathExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsUsableDirectory(const std::string& path) {
  return !path.empty() && IsDirectory(path) && ::access(path.c_str(), R_OK | W_OK | X_OK) == 0;
}

HRESULT CreateDirectoryLevel(const std::string& path, unsigned mode) {
  if (sys::Mkdir(path.c_str(), mode) == 0) return S_OK;
  if (errno != EEXIST) return ErrnoResult();
  if (!IsDirectory(path)) return HresultFromErrno(EEXIST);
  // A folder of this user that grants more than `mode` is tightened; a link to a folder is
  // used as it is.
  UniqueFd dir(sys::Open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (dir.valid() && ::fstat(dir.get(), &st) == 0 && st.st_uid == ::geteuid() &&
      (st.st_mode & 07777 & ~mode) != 0)
    ::fchmod(dir.get(), st.st_mode & 07777 & mode);
  return S_OK;
}

HRESULT MoveFileNoReplace(const std::string& from, const std::string& to) {
  struct stat listed;
  if (::lstat(from.c_str(), &listed) != 0) return ErrnoResult();
  if (HRESULT hr = CheckRegular(listed); Failed(hr)) return hr;
  // A rename moves the name, whatever it holds by now: a link swapped in is moved as a link and
  // never followed, and later steps list and open without following links.
  HRESULT hr = RenameNoReplace(from, to);
  if (hr != HresultFromErrno(EXDEV)) return hr;
  return CopyAcrossNoReplace(from, to, listed);
}

HRESULT RemoveMoveLeftovers(const std::string& folder) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(sys::Opendir(folder.c_str()), ::closedir);
  if (!dir) return errno == ENOENT ? S_OK : ErrnoResult();
  std::vector<std::string> leftovers;
  errno = 0;
  while (struct dirent* entry = ::readdir(dir.get()))
    if (IsMoveLeftoverName(entry->d_name)) leftovers.emplace_back(entry->d_name);
  if (errno != 0) return ErrnoResult();
  HRESULT result = S_OK;
  for (const auto& name : leftovers) {
    struct stat st;
    if (::fstatat(dirfd(dir.get()), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
      continue;
    if (sys::Unlinkat(dirfd(dir.get()), name.c_str(), 0) != 0 && errno != ENOENT &&
        Succeeded(result))
      result = ErrnoResult();
  }
  return result;
}

HRESULT SyncFolder(const std::string& folder) {
  UniqueFd dir(sys::Open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return ErrnoResult();
  if (sys::Fsync(dir.get()) != 0 && errno != EINVAL) return ErrnoResult();
  return S_OK;
}

// Makes the file `path` with `content` in one step: the content goes into an unnamed file in the
// folder, which gets the name only once it is on disk, and never in place of another file
// (EEXIST). A failure or a crash thus never leaves an empty or cut file under the name. ENOTSUP
// where the file system (or /proc) offers no unnamed files.
HRESULT CreateFileWhole(const std::string& path, std::string_view content) {
  if (::access("/proc/self/fd", X_OK) != 0) return HresultFromErrno(ENOTSUP);
  UniqueFd fd(
      sys::Open(FolderOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, kPrivateFileMode));
  if (!fd.valid())
    return HresultFromErrno(errno == EOPNOTSUPP || errno == EISDIR ? ENOTSUP : errno);
  if (HRESULT hr = WriteAll(fd.get(), content.data(), content.size()); Failed(hr)) return hr;
  if (sys::Fsync(fd.get()) != 0) return ErrnoResult();
  const std::string self = "/proc/self/fd/" + std::to_string(fd.get());
  if (sys::Linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0)
    return ErrnoResult();
  // The new name must survive too; else a crash could take the content with it.
  return SyncFolder(FolderOf(path));
}

HRESULT AppendToFileDurably(const std::string& path, std::string_view content,
                            std::string_view prefixIfNew, std::string_view lineEnd) {
  struct stat there;
  if (::lstat(path.c_str(), &there) != 0 && errno == ENOENT) {
    std::string whole;
    whole.reserve(prefixIfNew.size() + content.size());
    whole.append(prefixIfNew).append(content);
    const HRESULT made = CreateFileWhole(path, whole);
    // Made meanwhile by another: appended to below, as is a file without unnamed files.
    if (made != HresultFromErrno(EEXIST) && made != HresultFromErrno(ENOTSUP)) return made;
  }
  UniqueFd fd(sys::Open(
      path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY,
      kPrivateFileMode));
  if (!fd.valid()) return ErrnoResult();
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return ErrnoResult();
  if (!S_ISREG(st.st_mode)) return HresultFromErrno(EINVAL);
  std::string head;
  if (st.st_size == 0) {
    head = prefixIfNew;
  } else if (!lineEnd.empty()) {
    // When the last byte cannot be read, the line end is written all the same: an empty line is
    // passed over by readers, a line glued to a cut one would be lost.
    UniqueFd reader(sys::Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    char last = 0;
    if (!reader.valid() || sys::Pread(reader.get(), &last, 1, st.st_size - 1) != 1 ||
        last != lineEnd.back())
      head = lineEnd;
  }
  if (!head.empty())
    if (HRESULT hr = WriteAll(fd.get(), head.data(), head.size()); Failed(hr)) return hr;
  if (HRESULT hr = WriteAll(fd.get(), content.data(), content.size()); Failed(hr)) return hr;
  if (sys::Fsync(fd.get()) != 0) return ErrnoResult();
  // A file made now must also survive as a name; else a crash could take the content with it.
  if (st.st_size == 0) return SyncFolder(FolderOf(path));
  return S_OK;
}

HRESULT WriteHiddenTempFile(const std::string& folder, const std::string& name,
                            const std::string& content, std::string* path) {
  std::string temp;
  UniqueFd fd(CreateTempIn(folder, name, kMoveTag, &temp));
  if (!fd.valid()) return ErrnoResult();
  TempName tempName(temp);
  if (HRESULT hr = WriteAll(fd.get(), content.data(), content.size()); Failed(hr)) return hr;
  if (sys::Fsync(fd.get()) != 0) return ErrnoResult();
  if (::close(fd.release()) != 0) return ErrnoResult();
  tempName.Keep();
  *path = std::move(temp);
  return S_OK;
}

HRESULT WriteFileAtomically(const std::string& path, const std::string& content, unsigned mode) {
  AtomicFileWriter writer;
  writer.Open(path, mode);
  writer.Write(content);
  return writer.Commit();
}

AtomicFileWriter::~AtomicFileWriter() {
  if (fd_ >= 0) ::close(fd_);
  if (!temp_.empty()) sys::Unlink(temp_.c_str());
}

HRESULT AtomicFileWriter::Open(const std::string& path, unsigned mode) {
  if (fd_ >= 0 || !temp_.empty() || Failed(result_)) return result_ = HresultFromErrno(EINVAL);
  // The write buffer grows from here on.
  if (AllocationFault()) return result_ = E_OUTOFMEMORY;
  path_ = path;
  // The content goes into a file without a name, so that a process killed before Commit leaves
  // nothing behind; Commit names it through /proc/self/fd just for the rename. Without unnamed
  // files (or /proc) a named temporary is written instead.
  if (::access("/proc/self/fd", X_OK) == 0)
    fd_ = sys::Open(FolderOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd_ < 0) fd_ = CreateTempIn(FolderOf(path), BaseName(path), ".", &temp_);
  if (fd_ < 0) return result_ = ErrnoResult();
  struct stat old;
  if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) mode |= old.st_mode & S_IRGRP;
  if (::fchmod(fd_, mode) != 0) return result_ = ErrnoResult();
  return S_OK;
}

HRESULT AtomicFileWriter::Flush() {
  if (Succeeded(result_) && !buffer_.empty())
    result_ = WriteAll(fd_, buffer_.data(), buffer_.size());
  buffer_.clear();
  return result_;
}

HRESULT AtomicFileWriter::Write(std::string_view data) {
  if (Failed(result_)) return result_;
  if (fd_ < 0) return result_ = HresultFromErrno(EBADF);
  if (buffer_.size() + data.size() > kCopyBlock && Failed(Flush())) return result_;
  if (data.size() >= kCopyBlock) return result_ = WriteAll(fd_, data.data(), data.size());
  buffer_.append(data);
  return S_OK;
}

HRESULT AtomicFileWriter::Commit() {
  if (Failed(result_)) return result_;
  if (fd_ < 0) return result_ = HresultFromErrno(EBADF);
  if (Failed(Flush())) return result_;
  if (sys::Fsync(fd_) != 0) return result_ = ErrnoResult();
  if (temp_.empty()) {
    // The unnamed file linked under a free name of the temporary pattern, just for the rename.
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    const std::string stem = BaseName(path_).substr(0, NAME_MAX - 2 - kRandomChars);
    std::random_device random;
    for (int attempt = 0; temp_.empty(); ++attempt) {
      static constexpr char kChars[] =
          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
      std::string name = JoinPath(FolderOf(path_), "." + stem + ".");
      for (size_t i = 0; i < kRandomChars; ++i) name += kChars[random() % (sizeof kChars - 1)];
      if (sys::Linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
        temp_ = std::move(name);
      else if (errno != EEXIST || attempt == 100)
        return result_ = ErrnoResult();
    }
  }
  const int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0) return result_ = ErrnoResult();
  if (sys::Rename(temp_.c_str(), path_.c_str()) != 0) return result_ = ErrnoResult();
  temp_.clear();
  // Make the rename itself durable. The new content is in place either way, but a crash could
  // bring the old one back: the caller must not build on it, so the failure is returned.
  return result_ = SyncFolder(FolderOf(path_));
}

HRESULT ReadFileLimited(const std::string& path, size_t max_bytes, std::string* content) {
  UniqueFd fd(sys::Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd.valid()) return ErrnoResult();
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return ErrnoResult();
  if (!S_ISREG(st.st_mode)) return HresultFromErrno(EINVAL);
  if (static_cast<uint64_t>(st.st_size) > max_bytes) return HresultFromErrno(EFBIG);
  if (AllocationFault()) return E_OUTOFMEMORY;
  std::string data;
  char buffer[65536];
  for (;;) {
    ssize_t n = sys::Read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ErrnoResult();
    if (n == 0) break;
    if (data.size() + static_cast<size_t>(n) > max_bytes) return HresultFromErrno(EFBIG);
    data.append(buffer, static_cast<size_t>(n));
  }
  *content = std::move(data);
  return S_OK;
}

HRESULT ListRegularFiles(const std::string& folder, std::vector<std::string>* names) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(sys::Opendir(folder.c_str()), ::closedir);
  if (!dir) return ErrnoResult();
  names->clear();
  // A first pass counts the entries, so that the list is made once in its size rather than grown
  // by doubling (which holds the old and the new list at once): a folder of many thousand files
  // then costs its names and no more. Entries that arrive between the passes only grow it.
  size_t entries = 0;
  while (::readdir(dir.get())) ++entries;
  ::rewinddir(dir.get());
  names->reserve(entries);
  while (struct dirent* entry = ::readdir(dir.get())) {
    if (entry->d_name[0] == '.' || entry->d_name[0] == '\0') continue;  // hidden, "." and ".."
    // The type the folder holds for the entry saves a look at the file; only file systems that
    // do not keep it (DT_UNKNOWN) need one.
    if (entry->d_type != DT_REG) {
      struct stat st;
      if (entry->d_type != DT_UNKNOWN ||
          ::fstatat(dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
          !S_ISREG(st.st_mode))
        continue;
    }
    names->emplace_back(entry->d_name);
  }
  return S_OK;
}

WriterState ProbeWriters(const std::string& path) {
  UniqueFd fd(sys::Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY));
  if (!fd.valid()) return WriterState::kUnknown;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return WriterState::kUnknown;
  // A writer that opens the file while the lease is held breaks it, and the kernel signals the
  // holder, with SIGIO unless told otherwise. SIGIO's default action ends the process, so the
  // break is announced with SIGURG instead, whose default action is to ignore it.
  ::fcntl(fd.get(), F_SETSIG, SIGURG);
  if (::fcntl(fd.get(), F_SETLEASE, F_RDLCK) == 0) {
    ::fcntl(fd.get(), F_SETLEASE, F_UNLCK);
    return WriterState::kNone;
  }
  // EAGAIN: the file is open for writing somewhere. Any other answer (EACCES for a file of
  // another user, EINVAL on file systems without leases) means the kernel cannot tell.
  return errno == EAGAIN ? WriterState::kWriting : WriterState::kUnknown;
}

HRESULT StampFile(const std::string& path, FileStamp* stamp) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return ErrnoResult();
  if (HRESULT hr = CheckRegular(st); Failed(hr)) return hr;
  stamp->device = st.st_dev;
  stamp->inode = st.st_ino;
  stamp->size = st.st_size;
  stamp->modifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return S_OK;
}

}  // namespace qx
