// Injected failures, for tests: the security client's own copy of the component's switch (the
// client shares no code with the component). It makes the k-th call of one kind of the client's
// file operations (file_io.cpp) fail, so that a test can see what the component does when the
// client fails under it.
//
// Kinds: open (open, mkostemp), read, write, fsync, rename, unlink, mkdir. Armed from the
// environment, read once when the first call is counted:
//   ASAS_FAULT=KIND:K[+][:ERRNO]   as QENDIX_FAULT (src/platform/fault_injection.h)
//   ASAS_FAULT_LOG=PATH            appends "hit asas-KIND K ERRNO asas FILE:LINE FUNCTION" for each
//                                  failed call and, when the process ends, "calls asas-KIND N"
// Compiled in only with ASAS_FAULT_INJECTION (set together with QENDIX_FAULT_INJECTION); elsewhere
// every hook is a constant false. Thread-safe.
#pragma once

#include <atomic>
#include <source_location>

namespace asas {

enum class FaultKind { kOpen, kRead, kWrite, kFsync, kRename, kUnlink, kMkdir };

namespace fault_detail {
extern std::atomic<int> mode;  // 0 not read yet, 1 off, 2 armed
bool Hit(FaultKind kind, const std::source_location& where);
}  // namespace fault_detail

// True, with errno set to the armed error, when this call of `kind` is to fail.
inline bool FaultHit(FaultKind kind,
                     const std::source_location& where = std::source_location::current()) {
#ifdef ASAS_FAULT_INJECTION
  if (fault_detail::mode.load(std::memory_order_relaxed) == 1) return false;
  return fault_detail::Hit(kind, where);
#else
  (void)kind;
  (void)where;
  return false;
#endif
}

}  // namespace asas
