// Starting jobs: one job at a time (JobLock), a worker thread per job that runs the job's steps
// one after the other, and the cancel flag.
#pragma once

#include "qendix/com.h"

namespace qx {

class CQendix;

enum class JobKind { kRead, kCheck, kAnonymize, kSend, kAuto };

// Takes the job lock without waiting (E_BUSY when a job runs here or in another process), clears
// the cancel flag and starts the worker thread, which holds a reference on the component until
// it ends. E_FAIL (lock given back) when the thread cannot be started. The job's steps give the
// lock back at the end of the last step run.
HRESULT StartJob(CQendix* component, JobKind kind);

// True when this build has the steps of `kind`.
bool JobKindAvailable(JobKind kind);

}  // namespace qx
