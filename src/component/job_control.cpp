#include "component/job_control.h"

#include <exception>
#include <new>
#include <system_error>
#include <thread>

#include "component/cqendix.h"
#include "component/module_state.h"
#include "crypto/message_file.h"
#include "platform/job_lock.h"
#include "steps/checker.h"
#include "steps/reader.h"

namespace qx {
namespace {

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
  RemoveStaleMessageFolders();  // clear text a killed job left behind; this job holds the lock
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
  try {
    std::thread worker([hold = std::move(hold), kind]() mutable {
      RunJob(hold.Get(), kind);
      hold.Reset();  // may be the final release: stores the settings on this thread
      ModuleObjectDestroyed();
    });
    worker.detach();
  } catch (const std::system_error&) {
    ModuleObjectDestroyed();
    JobLock::Instance().Release();
    return E_FAIL;
  }
  return S_OK;
}

}  // namespace qx
