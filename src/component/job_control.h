// Starting jobs: one job at a time (JobLock), a worker thread per job that builds the job's
// context and runs its steps one after the other, and the cancel request of the running job.
// Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>

#include "qendix/com.h"

namespace qx {

class CQendix;

enum class JobKind { kRead, kCheck, kAnonymize, kSend, kAuto };

// Takes the job lock without waiting (E_BUSY when a job runs here or in another process) and
// starts the worker thread, which holds a reference on the component until it ends. The new job
// starts without a cancel request. E_FAIL (lock given back) when the thread cannot be started.
// The job's steps give the lock back at the end of the last step run.
HRESULT StartJob(CQendix* component, JobKind kind);

// Asks the job running in this process, if any, to stop before its next file. A request while no
// job runs is forgotten: the next job starts without one.
void CancelRunningJob();

// Jobs started in this process are numbered 1, 2, ... in start order. The number of the last job
// StartJob started, 0 before the first. Thread-safe.
uint64_t LastJobNumber();

// While one lives on a thread, a job that StartJob starts on that thread stores its number in
// `*target` before its worker thread runs, so that code reaching StartJob through IQendix (the C
// interface) knows its job also from the job's own events. Not nestable.
class JobNumberCapture {
 public:
  explicit JobNumberCapture(std::atomic<uint64_t>* target);
  ~JobNumberCapture();
  JobNumberCapture(const JobNumberCapture&) = delete;
  JobNumberCapture& operator=(const JobNumberCapture&) = delete;
};

// Waits until every job numbered `through` or lower has ended: its worker thread has run its
// last step (end event delivered) and dropped its reference on the component. A negative
// `timeout_ms` waits without limit. S_OK when they have ended (at once when `through` is 0),
// S_FALSE on time-out, E_UNEXPECTED when called on the worker thread of one of those jobs (it
// would wait for itself). Thread-safe.
HRESULT WaitForJobsEnded(uint64_t through, int timeout_ms);

}  // namespace qx
