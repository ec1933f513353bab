// Injected failures, for tests: a switch that makes the k-th call of one kind fail, so that a test
// can walk k over a whole job and see that each failure is handled (no invoice lost or doubled,
// no temporary or clear-text file left, the failure reported).
//
// The component's own system calls of these kinds go through the wrappers below (sys::Open and
// the others), and its own buffers are allocated after AllocationFault:
//   open    open, openat, mkostemp (a file made), opendir, memfd_create
//   read    read, pread
//   write   write
//   fsync   fsync of a file or a folder
//   rename  rename, renameat2, link, linkat (every call that gives a file a new name)
//   unlink  unlink, unlinkat (also of a folder)
//   mkdir   mkdir, mkdtemp
//   alloc   a buffer of the component's own (fails as std::bad_alloc or E_OUTOFMEMORY)
//   http    an HTTP exchange with a server (fails before anything is sent, as a refused
//           connection would)
// Library code (libxml2, libcurl, OpenSSL, the C++ library) is not counted. Calls on a thread that
// holds a FaultExemptScope are not counted either: the download window's page fetch, which runs
// beside the job at its own pace and touches no invoice, would otherwise make the count depend on
// timing.
//
// Arming, from the environment, read once when the first call is counted:
//   QENDIX_FAULT=KIND[@TAGS]:K[+][:ERRNO]
//                                    the K-th call of KIND (counted from 1) fails with ERRNO
//                                    (a name such as EIO, ENOSPC, EROFS, EACCES; EIO when left
//                                    out); with "+" that call and every later one of the kind
//                                    fail (a disk that stays full); with "@TAGS" only the calls
//                                    whose tags (FaultTagScope) contain that text are counted
//                                    towards K, e.g. "fsync@anonymizer/file:2"
//   QENDIX_FAULT_LOG=PATH            appends "hit KIND K ERRNO TAGS FILE:LINE FUNCTION" for each
//                                    failed call (TAGS: see FaultTagScope) and, when the process
//                                    ends, "calls KIND N" for each kind with its number of calls (a
//                                    clean run with only the log set counts the calls)
//   QENDIX_FAULT_TRACE=1             adds the callers of each failed call to the log, one
//                                    "library(+offset)" a line (for addr2line)
// Nothing else changes while the switch is armed, except that waits between retries of the
// security client and the pause of the writer check are cut to a few milliseconds (ShortWait),
// so that a walk over hundreds of runs stays quick.
//
// Cost: the switch exists only in builds configured with QENDIX_FAULT_INJECTION (on with the
// tests, off in a build without them, see CMakeLists.txt); elsewhere every hook is a constant false
// that the compiler removes. Where it is compiled in but not armed, a hook is one relaxed atomic
// load and a predicted branch beside a system call.
//
// Thread-safe: the counters are atomic; the log is appended with single writes.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <new>
#include <source_location>

namespace qx {

enum class FaultKind { kOpen, kRead, kWrite, kFsync, kRename, kUnlink, kMkdir, kAlloc, kHttp };
constexpr int kFaultKinds = 9;

namespace fault_detail {
enum : int { kUnread = 0, kOff = 1, kOn = 2 };
extern std::atomic<int> mode;
// Counts the call; true (with errno set) when it is to fail.
bool Hit(FaultKind kind, const std::source_location& where);
}  // namespace fault_detail

// True, with errno set to the armed error, when this call of `kind` is to fail.
inline bool FaultHit(FaultKind kind,
                     const std::source_location& where = std::source_location::current()) {
#ifdef QENDIX_FAULT_INJECTION
  if (fault_detail::mode.load(std::memory_order_relaxed) == fault_detail::kOff) return false;
  return fault_detail::Hit(kind, where);
#else
  (void)kind;
  (void)where;
  return false;
#endif
}

// For a buffer of the component's own that is about to be allocated: true when the allocation is
// to fail (the caller answers E_OUTOFMEMORY or throws std::bad_alloc as a real failure would).
inline bool AllocationFault(const std::source_location& where = std::source_location::current()) {
  return FaultHit(FaultKind::kAlloc, where);
}
// The same for code whose allocation failures travel as exceptions.
inline void ThrowOnAllocationFault(
    const std::source_location& where = std::source_location::current()) {
  if (FaultHit(FaultKind::kAlloc, where)) throw std::bad_alloc();
}

// Whether the switch is armed (QENDIX_FAULT or QENDIX_FAULT_LOG set).
bool FaultSwitchArmed();

// `normal`, or 5 ms while the switch is armed.
std::chrono::milliseconds ShortWait(std::chrono::milliseconds normal);

// Arms the switch from a text of the QENDIX_FAULT form ("" disarms it) and resets the counters,
// for tests inside one process; the log is not written. False when the text is not understood.
bool ArmFaultForTesting(const char* plan);
// The number of calls of `kind` counted since the switch was armed.
unsigned long FaultCallsForTesting(FaultKind kind);

// While one exists, the failures of calls on its thread are logged with `tag`, after the tags of
// the scopes around it ("job/sender/qendix.session.close"), so that a walk can tell where in a job
// a failure happened; "-" outside every scope (the host's thread). `tag` must outlive the scope.
// Scopes nest four deep at most; deeper ones are not logged.
class FaultTagScope {
 public:
  explicit FaultTagScope(const char* tag);
  ~FaultTagScope();
  FaultTagScope(const FaultTagScope&) = delete;
  FaultTagScope& operator=(const FaultTagScope&) = delete;
};

// While one exists, calls on its thread are neither counted nor failed.
class FaultExemptScope {
 public:
  FaultExemptScope();
  ~FaultExemptScope();
  FaultExemptScope(const FaultExemptScope&) = delete;
  FaultExemptScope& operator=(const FaultExemptScope&) = delete;
};

// The system calls of the component, each counted and failed as its kind above; otherwise they
// are the calls themselves, with the same results and errno.
namespace sys {

using Where = std::source_location;

inline int Open(const char* path, int flags, mode_t mode = 0, const Where& w = Where::current()) {
  return FaultHit(FaultKind::kOpen, w) ? -1 : ::open(path, flags, mode);
}
inline int Openat(int dir, const char* name, int flags, mode_t mode = 0,
                  const Where& w = Where::current()) {
  return FaultHit(FaultKind::kOpen, w) ? -1 : ::openat(dir, name, flags, mode);
}
inline DIR* Opendir(const char* path, const Where& w = Where::current()) {
  return FaultHit(FaultKind::kOpen, w) ? nullptr : ::opendir(path);
}
inline int Mkostemp(char* pattern, int flags, const Where& w = Where::current()) {
  return FaultHit(FaultKind::kOpen, w) ? -1 : ::mkostemp(pattern, flags);
}
inline int MemfdCreate(const char* name, unsigned flags, const Where& w = Where::current()) {
  return FaultHit(FaultKind::kOpen, w) ? -1 : ::memfd_create(name, flags);
}
inline ssize_t Read(int fd, void* buffer, size_t size, const Where& w = Where::current()) {
  return FaultHit(FaultKind::kRead, w) ? -1 : ::read(fd, buffer, size);
}
inline ssize_t Pread(int fd, void* buffer, size_t size, off_t offset,
                     const Where& w = Where::current()) {
  return FaultHit(FaultKind::kRead, w) ? -1 : ::pread(fd, buffer, size, offset);
}
inline ssize_t Write(int fd, const void* data, size_t size, const Where& w = Where::current()) {
  return FaultHit(FaultKind::kWrite, w) ? -1 : ::write(fd, data, size);
}
inline int Fsync(int fd, const Where& w = Where::current()) {
  return FaultHit(FaultKind::kFsync, w) ? -1 : ::fsync(fd);
}
inline int Rename(const char* from, const char* to, const Where& w = Where::current()) {
  return FaultHit(FaultKind::kRename, w) ? -1 : ::rename(from, to);
}
// renameat2 relative to the working folder, with its flags (RENAME_NOREPLACE).
inline int Renameat2(const char* from, const char* to, unsigned flags,
                     const Where& w = Where::current()) {
  return FaultHit(FaultKind::kRename, w)
             ? -1
             : static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, flags));
}
inline int Link(const char* from, const char* to, const Where& w = Where::current()) {
  return FaultHit(FaultKind::kRename, w) ? -1 : ::link(from, to);
}
inline int Linkat(int fromDir, const char* from, int toDir, const char* to, int flags,
                  const Where& w = Where::current()) {
  return FaultHit(FaultKind::kRename, w) ? -1 : ::linkat(fromDir, from, toDir, to, flags);
}
inline int Unlink(const char* path, const Where& w = Where::current()) {
  return FaultHit(FaultKind::kUnlink, w) ? -1 : ::unlink(path);
}
inline int Unlinkat(int dir, const char* name, int flags, const Where& w = Where::current()) {
  return FaultHit(FaultKind::kUnlink, w) ? -1 : ::unlinkat(dir, name, flags);
}
inline int Mkdir(const char* path, mode_t mode, const Where& w = Where::current()) {
  return FaultHit(FaultKind::kMkdir, w) ? -1 : ::mkdir(path, mode);
}
inline char* Mkdtemp(char* pattern, const Where& w = Where::current()) {
  return FaultHit(FaultKind::kMkdir, w) ? nullptr : ::mkdtemp(pattern);
}

}  // namespace sys
}  // namespace qx
