#include "support/daily_log.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include "platform/fault_injection.h"
#include "platform/file_system.h"
#include "platform/hresult_errno.h"
#include "support/system_description.h"

namespace qx {
namespace {

std::string OneLine(const BStr& text) {
  if (!text) return "(null)";
  std::string s = *text;
  for (char& c : s)
    if (c == '\n' || c == '\r') c = ' ';
  return s;
}

}  // namespace

bool DailyLog::EnsureOpen(const std::string& work_directory, std::string* session, int* error,
                          std::string* logPath) {
  if (error) *error = 0;
  if (file_) return true;
  if (work_directory.empty()) return false;
  std::string folder = JoinPath(work_directory, "logs");
  if (HRESULT hr = CreateDirectoryLevel(folder); Failed(hr)) {
    if (error) *error = ErrnoFromHresult(hr);
    if (logPath) *logPath = folder;
    return false;
  }
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char date[32];
  std::snprintf(date, sizeof date, "%d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday);
  std::string path = JoinPath(folder, std::string(date) + ".log");
  // The log names invoice files: it is created 0600, and a log of this user's that others could
  // read is made private. Links are not followed; a FIFO does not block.
  bool existed = PathExists(path);
  int fd = sys::Open(path.c_str(),
                     O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK,
                     kPrivateFileMode);
  if (fd < 0) {
    if (error) *error = errno;
    if (logPath) *logPath = path;
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  if (st.st_uid == ::geteuid() && (st.st_mode & 07077) != 0) ::fchmod(fd, st.st_mode & 0700);
  file_ = ::fdopen(fd, "a");
  if (!file_) {
    ::close(fd);
    return false;
  }
  if (!existed) {
    std::fprintf(file_, "%s\n", GeneratorText().c_str());
    std::fflush(file_);
  }
  if (session) *session = date;
  return true;
}

void DailyLog::WriteLine(int level, int mclass, int origin, int code, const BStr& file,
                         const BStr& msg) {
  if (!file_) return;
  unsigned long long now = static_cast<unsigned long long>(std::time(nullptr));
  std::fprintf(file_, "%llu|%d|%d|%d|%d|%s|%s\n", now, level, mclass, origin, code,
               OneLine(file).c_str(), OneLine(msg).c_str());
  std::fflush(file_);
}

void DailyLog::Close() {
  if (file_) {
    std::fclose(file_);
    file_ = nullptr;
  }
}

}  // namespace qx
