#include "crypto/message_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <new>

namespace qx {

HRESULT MessageFile::Create(std::unique_ptr<MessageFile>* file) {
  if (!file) return E_POINTER;
  file->reset();
  std::unique_ptr<MessageFile> made(new (std::nothrow) MessageFile);
  if (!made) return E_OUTOFMEMORY;
  const char* base = getenv("TMPDIR");
  std::string folder = std::string(base && base[0] == '/' ? base : "/tmp") + "/qendix-XXXXXX";
  if (!mkdtemp(folder.data())) return HresultFromErrno(errno);
  made->folder_ = folder;  // from here on the destructor removes the folder
  std::string path = folder + "/msg-XXXXXX";
  int fd = mkostemp(path.data(), O_CLOEXEC);  // O_CREAT | O_EXCL, mode 0600
  if (fd < 0) return HresultFromErrno(errno);
  made->path_ = path;
  made->fd_ = fd;
  *file = std::move(made);
  return S_OK;
}

MessageFile::~MessageFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!path_.empty()) ::unlink(path_.c_str());
  if (!folder_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
}

HRESULT MessageFile::Append(std::string_view bytes) {
  if (fd_ < 0) return E_UNEXPECTED;
  while (!bytes.empty()) {
    ssize_t written = ::write(fd_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return HresultFromErrno(errno);
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return S_OK;
}

HRESULT MessageFile::CloseForWriting() {
  if (fd_ < 0) return S_OK;
  int fd = fd_;
  fd_ = -1;
  return ::close(fd) == 0 ? S_OK : HresultFromErrno(errno);
}

HRESULT MessageFile::Read(size_t maxBytes, std::string* content) const {
  if (!content) return E_POINTER;
  content->clear();
  int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return HresultFromErrno(errno);
  HRESULT hr = S_OK;
  char block[8192];
  for (;;) {
    ssize_t got = ::read(fd, block, sizeof block);
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
  if (Failed(hr)) content->clear();
  return hr;
}

}  // namespace qx
