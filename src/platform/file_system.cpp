#include "platform/file_system.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <memory>

#include "platform/last_error.h"
#include "platform/unique_fd.h"

namespace qx {
namespace {

// Keeps errno of the first failure as the thread's last error.
bool Fail() {
  SetLastSystemError(errno);
  return false;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates a uniquely named temporary file in `folder`; returns its fd and name.
int CreateTempIn(const std::string& folder, const std::string& stem, std::string* name) {
  std::string tmpl = JoinPath(folder, "." + stem + ".XXXXXX");
  int fd = mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd >= 0) *name = tmpl;
  return fd;
}

// Copies `from` into a new file beside `to` and publishes it under `to` without replacing.
bool CopyAcrossNoReplace(const std::string& from, const std::string& to) {
  UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return Fail();
  struct stat st;
  if (fstat(in.get(), &st) != 0) return Fail();
  std::string temp;
  UniqueFd out(CreateTempIn(FolderOf(to), BaseName(to), &temp));
  if (out.get() < 0) return Fail();
  auto cleanup = [&] {
    int saved = errno;
    ::unlink(temp.c_str());
    errno = saved;
  };
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(in.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (n > 0 && !WriteAll(out.get(), buffer, static_cast<size_t>(n)))) {
      cleanup();
      return Fail();
    }
    if (n == 0) break;
  }
  if (fchmod(out.get(), st.st_mode & 07777) != 0 || fsync(out.get()) != 0) {
    cleanup();
    return Fail();
  }
  if (::link(temp.c_str(), to.c_str()) != 0) {
    cleanup();
    return Fail();
  }
  ::unlink(temp.c_str());
  if (::unlink(from.c_str()) != 0) {
    // The copy is published; the source could not be removed. Take the copy back so the file
    // exists exactly once, where it was.
    int saved = errno;
    ::unlink(to.c_str());
    errno = saved;
    return Fail();
  }
  return true;
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

bool CreateDirectoryLevel(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0) return true;
  if (errno == EEXIST && IsDirectory(path)) return true;
  return Fail();
}

bool MoveFileNoReplace(const std::string& from, const std::string& to) {
  if (::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
    return true;
  if (errno == EXDEV) return CopyAcrossNoReplace(from, to);
  if (errno == EINVAL || errno == ENOSYS) {
    // The file system cannot rename without replacing: a hard link is published only when the
    // name is free, then the old name goes.
    if (::link(from.c_str(), to.c_str()) != 0) return Fail();
    ::unlink(from.c_str());
    return true;
  }
  return Fail();
}

bool WriteFileAtomically(const std::string& path, const std::string& content, unsigned mode) {
  std::string temp;
  UniqueFd fd(CreateTempIn(FolderOf(path), BaseName(path), &temp));
  if (fd.get() < 0) return Fail();
  // A file that is replaced keeps its permissions; a new one gets `mode`.
  struct stat old;
  if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) mode = old.st_mode & 07777;
  bool ok = fchmod(fd.get(), mode) == 0 && WriteAll(fd.get(), content.data(), content.size()) &&
            fsync(fd.get()) == 0;
  if (ok) ok = ::close(fd.release()) == 0;
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    int saved = errno;
    ::unlink(temp.c_str());
    errno = saved;
    return Fail();
  }
  // Make the rename itself durable.
  UniqueFd dir(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) fsync(dir.get());
  return true;
}

bool ReadFileLimited(const std::string& path, size_t max_bytes, std::string* content) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return Fail();
  std::string data;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail();
    if (n == 0) break;
    if (data.size() + static_cast<size_t>(n) > max_bytes) {
      errno = EFBIG;
      return Fail();
    }
    data.append(buffer, static_cast<size_t>(n));
  }
  *content = std::move(data);
  return true;
}

bool ListRegularFiles(const std::string& folder, std::vector<std::string>* names) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return Fail();
  names->clear();
  while (struct dirent* entry = ::readdir(dir.get())) {
    std::string name(entry->d_name);
    if (name.empty() || name[0] == '.') continue;  // hidden, and "." and ".."
    struct stat st;
    if (::fstatat(dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode)) continue;
    names->push_back(std::move(name));
  }
  return true;
}

bool IsOpenForWriting(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
  if (fd.get() < 0) return false;
  if (::fcntl(fd.get(), F_SETLEASE, F_RDLCK) == 0) {
    ::fcntl(fd.get(), F_SETLEASE, F_UNLCK);
    return false;
  }
  // EAGAIN: the file is open for writing somewhere. Any other answer (no permission for leases,
  // a file system without them) means the kernel cannot tell.
  return errno == EAGAIN;
}

}  // namespace qx
