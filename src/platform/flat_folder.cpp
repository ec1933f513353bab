#include "platform/flat_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/hresult_errno.h"
#include "platform/unique_fd.h"

namespace qx {
namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

HRESULT LastErrno() {
  return HresultFromErrno(errno);
}

// The entry names of the folder open at `fd` (the descriptor stays open and usable).
HRESULT NamesAt(int fd, std::vector<std::string>* names) {
  int copy = ::dup(fd);
  if (copy < 0) return LastErrno();
  DIR* dir = ::fdopendir(copy);
  if (!dir) {
    HRESULT hr = LastErrno();
    ::close(copy);
    return hr;
  }
  names->clear();
  HRESULT hr = S_OK;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (!entry) {
      if (errno != 0) hr = LastErrno();
      break;
    }
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names->emplace_back(entry->d_name);
  }
  ::closedir(dir);
  return hr;
}

// A name that stays inside the folder: no path separator, not "." or "..".
bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

HRESULT ListFolderNames(const std::string& folder, std::vector<std::string>* names) {
  UniqueFd fd(::open(folder.c_str(), kFolderFlags));
  if (!fd.valid()) return LastErrno();
  return NamesAt(fd.get(), names);
}

HRESULT RemoveFlatFolder(const std::string& parent, const std::string& name, int* removedFiles) {
  *removedFiles = 0;
  if (!IsPlainName(name)) return HresultFromErrno(EINVAL);
  UniqueFd parentFd(::open(parent.c_str(), kFolderFlags));
  if (!parentFd.valid()) return LastErrno();
  struct stat own;
  if (::fstatat(parentFd.get(), name.c_str(), &own, AT_SYMLINK_NOFOLLOW) != 0) return LastErrno();
  if (S_ISLNK(own.st_mode)) return HresultFromErrno(ELOOP);
  if (!S_ISDIR(own.st_mode)) return HresultFromErrno(ENOTDIR);
  // Opened without following a link, also one put in its place since the look above.
  UniqueFd fd(::openat(parentFd.get(), name.c_str(), kFolderFlags));
  if (!fd.valid()) return LastErrno();
  std::vector<std::string> names;
  if (HRESULT hr = NamesAt(fd.get(), &names); Failed(hr)) return hr;
  // Everything is judged before anything goes: a folder with a stranger in it stays whole.
  for (const auto& entry : names) {
    struct stat st;
    if (::fstatat(fd.get(), entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return LastErrno();
    if (!S_ISREG(st.st_mode)) return HresultFromErrno(ENOTEMPTY);
  }
  for (const auto& entry : names) {
    struct stat st;
    // Looked at again right before: the entry is removed only while it is a regular file.
    if (::fstatat(fd.get(), entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      return LastErrno();
    }
    if (!S_ISREG(st.st_mode)) return HresultFromErrno(ENOTEMPTY);
    if (::unlinkat(fd.get(), entry.c_str(), 0) != 0) {
      if (errno == ENOENT) continue;
      return LastErrno();
    }
    ++*removedFiles;
  }
  ::fsync(fd.get());
  // An empty folder only (no recursion); the name must still be a folder, not a link.
  if (::unlinkat(parentFd.get(), name.c_str(), AT_REMOVEDIR) != 0) return LastErrno();
  ::fsync(parentFd.get());
  return S_OK;
}

HRESULT RemoveRegularFileIn(const std::string& parent, const std::string& name) {
  if (!IsPlainName(name)) return HresultFromErrno(EINVAL);
  UniqueFd parentFd(::open(parent.c_str(), kFolderFlags));
  if (!parentFd.valid()) return LastErrno();
  struct stat st;
  if (::fstatat(parentFd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return LastErrno();
  if (S_ISLNK(st.st_mode)) return HresultFromErrno(ELOOP);
  if (!S_ISREG(st.st_mode)) return HresultFromErrno(EINVAL);
  if (::unlinkat(parentFd.get(), name.c_str(), 0) != 0) return LastErrno();
  ::fsync(parentFd.get());
  return S_OK;
}

}  // namespace qx
