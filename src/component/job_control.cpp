#include "component/job_control.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <thread>

#include "component/cqendix.h"
#include "component/module_state.h"
#include "crypto/message_file.h"
#include "platform/call_guard.h"
#include "platform/fault_injection.h"
#include "platform/hresult_errno.h"
#include "platform/job_lock.h"
#include "platform/last_error.h"
#include "steps/anonymizer.h"
#include "steps/checker.h"
#include "steps/job_context.h"
#include "steps/reader.h"
#include "steps/sender.h"
#include "support/messages.h"

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

// The cancel token of the job that runs in this process; null while none runs. Never destroyed,
// like RunningJobs: a detached worker clears it as it ends, which may be after static
// destruction began (a host that returns from main while its last job winds down).
struct RunningCancel {
  std::mutex mutex;
  std::shared_ptr<CancelToken> token;
};

RunningCancel& Running() {
  static RunningCancel* running = new RunningCancel;
  return *running;
}

void SetRunningCancel(std::shared_ptr<CancelToken> token) {
  RunningCancel& r = Running();
  std::lock_guard lock(r.mutex);
  r.token = std::move(token);
}

// Reports a step that could not be built (out of memory) as the step's fatal event followed by
// its end event, so a host that waits for the end does not wait forever.
void ReportUnbuiltStep(JobContext& context, tagMsgOrigin origin, uint16_t nameId, HRESULT hr) {
  GuardedCall([&] {
    JobHost& host = context.Host();
    host.RaiseEvent(mlFatal, mcSystem, origin, static_cast<int32_t>(hr), std::nullopt,
                    ResultText(hr));
    std::string end = FormatEventText(LoadMessage(1101), LoadMessageA(nameId), 0, 0);
    context.GiveBackJobLock();
    host.RaiseEvent(mlInfo, mcModule, origin, 1, std::nullopt, end);
    return S_OK;
  });
}

// Builds, runs and destroys one step. Run itself never throws; a step that cannot be built gives
// the job lock back outside auto mode, so the component never stays busy.
template <typename Step>
void RunStep(JobContext& context, tagMsgOrigin origin, uint16_t nameId) {
  std::unique_ptr<Step> step;
  HRESULT hr = GuardedCall([&] {
    step = std::make_unique<Step>(context);
    return S_OK;
  });
  if (Failed(hr)) {
    context.GiveBackJobLock();
    if (!context.Cancelled()) ReportUnbuiltStep(context, origin, nameId, hr);
    return;
  }
  step->Run();
  step.reset();
}

void RunJob(JobContext& context, JobKind kind) {
  // Clear text a killed job left behind; this job holds the lock, so no other job uses it.
  GuardedCall([] {
    RemoveStaleMessageFolders();
    return S_OK;
  });
  switch (kind) {
    case JobKind::kRead:
      RunStep<PReader>(context, moPReader, 1040);
      break;
    case JobKind::kCheck:
      RunStep<PChecker>(context, moPChecker, 1050);
      break;
    case JobKind::kAnonymize:
      RunStep<PAnonymizer>(context, moPAnonymizer, 1020);
      break;
    case JobKind::kSend:
      RunStep<PSender>(context, moPSender, 1030);
      break;
    case JobKind::kAuto:
      // The first three steps keep the lock; the Sender's end gives it back. A cancelled step
      // leaves the request in force, so the later ones do no work.
      context.SetAutoMode(true);
      RunStep<PReader>(context, moPReader, 1040);
      RunStep<PChecker>(context, moPChecker, 1050);
      RunStep<PAnonymizer>(context, moPAnonymizer, 1020);
      context.SetAutoMode(false);
      RunStep<PSender>(context, moPSender, 1030);
      break;
  }
}

// The worker thread's body. Nothing may leave it: an exception that escapes would end the
// process. The steps guard themselves; a context that cannot be built gives the lock back.
void WorkerBody(CQendix* component, JobKind kind, std::shared_ptr<CancelToken> cancel) noexcept {
  std::unique_ptr<JobContext> context;
  HRESULT hr = GuardedCall([&] {
    context = std::make_unique<JobContext>(*component, cancel);
    return S_OK;
  });
  if (Failed(hr))
    JobLock::Instance().Release();
  else
    RunJob(*context, kind);
  context.reset();
  RunningCancel& r = Running();
  std::lock_guard lock(r.mutex);
  if (r.token == cancel) r.token.reset();
}

}  // namespace

void CancelRunningJob() {
  RunningCancel& r = Running();
  std::lock_guard lock(r.mutex);
  if (r.token) r.token->Cancel();
}

HRESULT StartJob(CQendix* component, JobKind kind) {
  if (!JobLock::Instance().TryAcquire())
    return errno == EWOULDBLOCK ? E_BUSY : HresultFromErrno(errno);
  auto cancel = std::make_shared<CancelToken>();
  SetRunningCancel(cancel);
  RefPtr<CQendix> hold = RefPtr<CQendix>::Share(component);
  ModuleObjectCreated();  // the worker thread counts as a live object of the module
  uint64_t number = 0;
  try {
    number = JobStarting();
    if (t_capture) t_capture->store(number);
    std::thread worker([hold = std::move(hold), kind, cancel, number]() mutable {
      t_own_job = number;
      {
        FaultTagScope tag("job");
        WorkerBody(hold.Get(), kind, cancel);
      }
      hold.Reset();  // may be the final release: stores the settings on this thread
      JobEnded(number);
      ModuleObjectDestroyed();
    });
    worker.detach();
  } catch (const std::exception&) {  // no thread (std::system_error) or no memory
    if (number) JobEnded(number);
    SetRunningCancel(nullptr);
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
