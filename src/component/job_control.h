// Starting jobs: one job at a time (JobLock), a worker thread per job that builds the job's
// context and runs its steps one after the other, and the cancel request of the running job.
// Thread-safe.
#pragma once

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

// True when this build has the steps of `kind`.
bool JobKindAvailable(JobKind kind);

}  // namespace qx
