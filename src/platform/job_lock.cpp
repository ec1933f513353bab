#include "platform/job_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "platform/fault_injection.h"

namespace qx {

struct JobLock::State {
  std::mutex mutex;
  bool held = false;
  int fd = -1;
};

namespace {

std::string LockFilePath() {
  if (const char* path = getenv("QENDIX_LOCK_FILE"); path && *path) return path;
  if (const char* runtime = getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
    return std::string(runtime) + "/qendix-job.lock";
  return "/tmp/qendix-job-" + std::to_string(getuid()) + ".lock";
}

// Opens the lock file without following links (nor blocking on a FIFO), and only if it is a
// regular file of this user, so another user can neither make us lock (or create) a file of
// their choosing nor hold our lock.
int OpenLockFile() {
  std::string path = LockFilePath();
  int fd = sys::Open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_uid != geteuid() || !S_ISREG(st.st_mode)) {
    const int error = errno;
    ::close(fd);
    errno = st.st_uid != geteuid() || !S_ISREG(st.st_mode) ? EPERM : error;
    return -1;
  }
  return fd;
}

}  // namespace

JobLock& JobLock::Instance() {
  static JobLock* instance = new JobLock;  // lives for the process
  return *instance;
}

JobLock::State& JobLock::state() const {
  static State* s = new State;
  return *s;
}

bool JobLock::TryAcquire() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (s.held) {
    errno = EWOULDBLOCK;
    return false;
  }
  int fd = OpenLockFile();
  if (fd < 0) {
    if (errno == EWOULDBLOCK || errno == 0) errno = EIO;  // never mistaken for "busy"
    return false;  // fails closed: no job without the lock other processes see
  }
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return false;
  }
  s.fd = fd;
  s.held = true;
  return true;
}

void JobLock::Release() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (!s.held) return;
  if (s.fd >= 0) {
    ::flock(s.fd, LOCK_UN);
    ::close(s.fd);
    s.fd = -1;
  }
  s.held = false;
}

bool JobLock::IsHeldHere() const {
  State& s = state();
  std::lock_guard lock(s.mutex);
  return s.held;
}

}  // namespace qx
