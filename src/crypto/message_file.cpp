#include "crypto/message_file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/fault_injection.h"
#include "platform/secure_wipe.h"
#include "platform/unique_fd.h"

namespace qx {

namespace {

constexpr std::string_view kFolderPrefix = "qendix-msg-";
constexpr size_t kRandomChars = 6;  // the XXXXXX of mkdtemp

std::string TempBase() {
  const char* base = getenv("TMPDIR");
  return base && base[0] == '/' ? base : "/tmp";
}

// The process number in a folder name "qendix-msg-<pid>-XXXXXX"; 0 when the name has another
// form.
pid_t FolderProcess(std::string_view name) {
  if (!name.starts_with(kFolderPrefix)) return 0;
  name.remove_prefix(kFolderPrefix.size());
  size_t dash = name.find('-');
  if (dash == 0 || dash == std::string_view::npos || dash > 9) return 0;
  std::string_view random = name.substr(dash + 1);
  if (random.size() != kRandomChars) return 0;
  for (char c : random)
    if (!std::isalnum(static_cast<unsigned char>(c))) return 0;
  pid_t pid = 0;
  for (char c : name.substr(0, dash)) {
    if (c < '0' || c > '9') return 0;
    pid = pid * 10 + (c - '0');
  }
  return pid;
}

bool ProcessRuns(pid_t pid) {
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

// The folders of this process's MessageFolder objects, by name.
std::mutex& LiveMutex() {
  static auto* mutex = new std::mutex;  // never destroyed: folders may go while the process ends
  return *mutex;
}
std::set<std::string>& LiveFolders() {
  static auto* live = new std::set<std::string>;
  return *live;
}
bool IsLive(const std::string& name) {
  std::lock_guard lock(LiveMutex());
  return LiveFolders().count(name) != 0;
}
std::string NameOf(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

// Removes the entries of the folder `name` in `parent` and then the folder, without following
// links. False when the folder is not a real folder of this user or cannot be removed whole.
bool RemoveFolder(int parent, const char* name) {
  int fd = sys::Openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(fd), ::closedir);
  if (!dir) {
    ::close(fd);
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  if (st.st_uid != ::geteuid()) {
    errno = EPERM;
    return false;
  }
  while (struct dirent* entry = ::readdir(dir.get())) {
    std::string_view entryName(entry->d_name);
    if (entryName == "." || entryName == "..") continue;
    sys::Unlinkat(fd, entry->d_name, 0);  // a folder inside stays, and so does this one
  }
  return sys::Unlinkat(parent, name, AT_REMOVEDIR) == 0;
}

// A memory file for one message, mode 0600; -1 when the system offers none.
int MakeMemoryFile() {
  int fd = sys::MemfdCreate("qendix-message", MFD_CLOEXEC);
  if (fd < 0) return -1;
  if (::fchmod(fd, 0600) != 0) {
    const int cause = errno;
    ::close(fd);
    errno = cause;
    return -1;
  }
  return fd;
}

std::string ProcFdPath(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

// Whether a memory file can be opened again by its /proc path, as the client's load does.
bool MemoryFilesReachable() {
  UniqueFd memory(MakeMemoryFile());
  if (!memory.valid()) return false;
  UniqueFd again(::open(ProcFdPath(memory.get()).c_str(), O_RDONLY | O_CLOEXEC));
  return again.valid();
}

}  // namespace

int RemoveStaleMessageFolders() {
  std::unique_ptr<DIR, int (*)(DIR*)> base(sys::Opendir(TempBase().c_str()), ::closedir);
  if (!base) return 0;
  const int baseFd = ::dirfd(base.get());
  // The names first: removing entries while reading the folder may skip or repeat some.
  std::vector<std::string> stale;
  while (struct dirent* entry = ::readdir(base.get())) {
    pid_t pid = FolderProcess(entry->d_name);
    if (pid <= 0) continue;
    struct stat st;
    if (::fstatat(baseFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) continue;
    if (pid == ::getpid() ? IsLive(entry->d_name) : ProcessRuns(pid)) continue;
    stale.emplace_back(entry->d_name);
  }
  int removed = 0;
  for (const std::string& name : stale)
    if (RemoveFolder(baseFd, name.c_str())) ++removed;
  return removed;
}

HRESULT MessageFolder::Create(std::unique_ptr<MessageFolder>* folder) {
  if (!folder) return E_POINTER;
  folder->reset();
  std::unique_ptr<MessageFolder> made(AllocationFault() ? nullptr
                                                        : new (std::nothrow) MessageFolder);
  if (!made) return E_OUTOFMEMORY;
  std::string path =
      TempBase() + "/" + std::string(kFolderPrefix) + std::to_string(::getpid()) + "-XXXXXX";
  if (!sys::Mkdtemp(path.data())) return HresultFromErrno(errno);
  {
    std::lock_guard lock(LiveMutex());
    LiveFolders().insert(NameOf(path));
  }
  made->path_ = std::move(path);  // from here on the destructor removes the folder
  made->memoryMessages_ = MemoryFilesReachable();
  *folder = std::move(made);
  return S_OK;
}

HRESULT MessageFolder::Remove() {
  if (path_.empty()) return S_OK;
  // The folder holds only the message files of its envelopes.
  const HRESULT hr = RemoveFolder(AT_FDCWD, path_.c_str()) ? S_OK : HresultFromErrno(errno);
  std::lock_guard lock(LiveMutex());
  LiveFolders().erase(NameOf(path_));
  path_.clear();
  return hr;
}

MessageFolder::~MessageFolder() {
  Remove();
}

HRESULT MessageFile::Create(MessageFolder& folder, std::unique_ptr<MessageFile>* file) {
  if (!file) return E_POINTER;
  file->reset();
  std::unique_ptr<MessageFile> made(AllocationFault() ? nullptr : new (std::nothrow) MessageFile);
  if (!made) return E_OUTOFMEMORY;
  if (folder.MemoryMessages()) {
    made->fd_ = MakeMemoryFile();
    if (made->fd_ < 0) return HresultFromErrno(errno);
    made->inMemory_ = true;
    made->path_ = ProcFdPath(made->fd_);
    made->savePath_ = folder.Path() + "/envelope-" + std::to_string(++folder.envelopes_);
  } else {
    std::string path = folder.Path() + "/msg-XXXXXX";
    int fd = sys::Mkostemp(path.data(), O_CLOEXEC);  // O_CREAT | O_EXCL, mode 0600
    if (fd < 0) return HresultFromErrno(errno);
    made->fd_ = fd;
    made->path_ = path;
    made->savePath_ = std::move(path);  // the envelope replaces the clear text
  }
  made->writable_ = true;
  *file = std::move(made);
  return S_OK;
}

MessageFile::~MessageFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!inMemory_ && !path_.empty()) sys::Unlink(path_.c_str());
  if (!savePath_.empty() && savePath_ != path_) sys::Unlink(savePath_.c_str());
}

HRESULT MessageFile::Append(std::string_view bytes) {
  if (!writable_ || fd_ < 0) return E_UNEXPECTED;
  while (!bytes.empty()) {
    ssize_t written = sys::Write(fd_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return HresultFromErrno(errno);
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return S_OK;
}

HRESULT MessageFile::CloseForWriting() {
  if (!writable_) return S_OK;
  writable_ = false;
  // A memory file must stay open: it is the message.
  if (inMemory_) return S_OK;
  int fd = std::exchange(fd_, -1);
  return ::close(fd) == 0 ? S_OK : HresultFromErrno(errno);
}

HRESULT MessageFile::Read(size_t maxBytes, std::string* content) const {
  if (!content) return E_POINTER;
  content->clear();
  int fd = sys::Open(savePath_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return HresultFromErrno(errno);
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_size > 0 && static_cast<uint64_t>(st.st_size) <= maxBytes)
    content->reserve(static_cast<size_t>(st.st_size));  // one allocation for the usual case
  HRESULT hr = S_OK;
  char block[8192];
  for (;;) {
    ssize_t got = sys::Read(fd, block, sizeof block);
    if (got < 0) {
      if (errno == EINTR) continue;
      hr = HresultFromErrno(errno);
      break;
    }
    if (got == 0) break;
    if (content->size() + static_cast<size_t>(got) > maxBytes) {
      hr = E_FAIL;
      break;
    }
    content->append(block, static_cast<size_t>(got));
  }
  ::close(fd);
  SecureWipe(block, sizeof block);
  if (Failed(hr)) SecureWipe(*content);
  return hr;
}

}  // namespace qx
