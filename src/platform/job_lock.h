// One job at a time across every component instance in every process of the user.
//
// An in-process flag serves the instances of one process; an advisory lock (flock) on a per-user
// lock file serves other processes. The kernel drops the flock when a process dies, so a killed
// job never leaves the lock taken. The lock file is QENDIX_LOCK_FILE when set, else
// "qendix-job.lock" in XDG_RUNTIME_DIR, else "/tmp/qendix-job-<uid>.lock".
//
// The lock fails closed: when the lock file cannot be used (it belongs to another user, is a
// symbolic link or not a regular file, or cannot be opened or created), TryAcquire refuses the
// job instead of running it under the in-process flag alone, where a job of the same user in
// another process could run at the same time. It is not reported as busy (a timer counts busy as
// a quiet success and would never run again): job methods return the error's result (EPERM for a
// file that is not the user's own regular file); the file's owner or an administrator has to
// remove the foreign file.
//
// TryAcquire and Release may be called from different threads (a job method takes the lock on
// the host's thread, the job's worker thread gives it back). Thread-safe.
#pragma once

namespace qx {

class JobLock {
 public:
  // The process-wide instance.
  static JobLock& Instance();

  // Takes the lock without waiting. False when a job runs here or in another process (errno
  // EWOULDBLOCK), or when the lock file cannot be used (errno says why, never EWOULDBLOCK).
  bool TryAcquire();
  // Gives the lock back. Does nothing when it is not held.
  void Release();
  bool IsHeldHere() const;

 private:
  JobLock() = default;
  struct State;
  State& state() const;
};

}  // namespace qx
