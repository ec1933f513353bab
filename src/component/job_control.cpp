#include "component/job_control.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <set>
#include <thread>

#include "component/cqendix.h"
#include "component/module_state.h"
#include "platform/job_lock.h"
#include "steps/checker.h"
#include "steps/reader.h"

namespace qx {
namespace {

// The numbers of the jobs whose worker thread still runs. Never destroyed: detached workers may
// end after static destruction began.
struct RunningJobs {
  std::mutex mutex;
  std::condition_variable ended;
  uint64_t last = 0;
  std::set<uint64_t> running;
};

RunningJobs& Jobs() {
  static RunningJobs* jobs = new RunningJobs;
  return *jobs;
}

// The job whose worker thread this is; 0 on other threads.
thread_local uint64_t t_own_job = 0;
// Where a job started on this thread stores its number (JobNumberCapture); may be null.
thread_local std::atomic<uint64_t>* t_capture = nullptr;

// Numbers and registers a job about to start. Throws std::bad_alloc.
uint64_t JobStarting() {
  RunningJobs& j = Jobs();
  std::lock_guard lock(j.mutex);
  j.running.insert(j.last + 1);
  return ++j.last;
}

void JobEnded(uint64_t number) {
  RunningJobs& j = Jobs();
  {
    std::lock_guard lock(j.mutex);
    j.running.erase(number);
  }
  j.ended.notify_all();
}

// Builds, runs and destroys one step. A step that cannot be built or throws (out of memory)
// still leaves the job lock released outside auto mode, so the component never stays busy.
template <typename Step>
void RunStep(CQendix* component) {
  try {
    Step step(component);
    step.Run();
  } catch (const std::exception&) {
    if (!AutoFlag()) JobLock::Instance().Release();
  }
}

void RunJob(CQendix* component, JobKind kind) {
  switch (kind) {
    case JobKind::kRead:
      RunStep<PReader>(component);
      break;
    case JobKind::kCheck:
      RunStep<PChecker>(component);
      break;
    case JobKind::kAnonymize:
    case JobKind::kSend:
    case JobKind::kAuto:
      // Not available in this build: StartJob refuses these before taking the lock.
      JobLock::Instance().Release();
      break;
  }
}

}  // namespace

bool JobKindAvailable(JobKind kind) {
  return kind == JobKind::kRead || kind == JobKind::kCheck;
}

HRESULT StartJob(CQendix* component, JobKind kind) {
  if (!JobKindAvailable(kind)) return E_NOTIMPL;
  if (!JobLock::Instance().TryAcquire()) return E_BUSY;
  SetCancelFlag(false);
  RefPtr<CQendix> hold = RefPtr<CQendix>::Share(component);
  ModuleObjectCreated();  // the worker thread counts as a live object of the module
  uint64_t number = 0;
  try {
    number = JobStarting();
    if (t_capture) t_capture->store(number);
    std::thread worker([hold = std::move(hold), kind, number]() mutable {
      t_own_job = number;
      RunJob(hold.Get(), kind);
      hold.Reset();  // may be the final release: stores the settings on this thread
      JobEnded(number);
      ModuleObjectDestroyed();
    });
    worker.detach();
  } catch (const std::exception&) {  // no thread (std::system_error) or no memory
    if (number) JobEnded(number);
    ModuleObjectDestroyed();
    JobLock::Instance().Release();
    return E_FAIL;
  }
  return S_OK;
}

JobNumberCapture::JobNumberCapture(std::atomic<uint64_t>* target) {
  t_capture = target;
}
JobNumberCapture::~JobNumberCapture() {
  t_capture = nullptr;
}

uint64_t LastJobNumber() {
  RunningJobs& j = Jobs();
  std::lock_guard lock(j.mutex);
  return j.last;
}

HRESULT WaitForJobsEnded(uint64_t through, int timeout_ms) {
  RunningJobs& j = Jobs();
  std::unique_lock lock(j.mutex);
  auto done = [&] { return j.running.empty() || *j.running.begin() > through; };
  if (done()) return S_OK;
  if (t_own_job != 0 && t_own_job <= through) return E_UNEXPECTED;
  if (timeout_ms < 0) {
    j.ended.wait(lock, done);
    return S_OK;
  }
  return j.ended.wait_for(lock, std::chrono::milliseconds(timeout_ms), done) ? S_OK : S_FALSE;
}

}  // namespace qx
