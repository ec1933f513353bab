// What a running job offers its steps, and nothing more: the component's settings as a copy, the
// place events go, the day's log, the cancel request, the auto mode, the security-client session
// of the current step and the data the running Anonymizer shares with the envelope code.
//
// Job control builds one JobContext per job on the job's worker thread and hands it to each step
// it builds; the steps never see the component itself. JobHost is implemented by the component.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "qendix/qendix.h"
#include "support/event_target.h"

namespace qx {

class AnonymizerContext;
class AsasSession;

// The component's properties a step reads, as one consistent copy.
struct JobSettings {
  BStr trustCenter;
  std::string inputDirectory;  // empty when null
  std::string workDirectory;   // empty when null
  std::string asasLogin;
  uint32_t options = 0;  // kOptionWithPdf, kOptionWithArchive, kOptionDebug
  std::string ean;
  std::string tcTel;

  bool Has(uint32_t option) const { return (options & option) != 0; }
};

// The component as a job sees it. Every member may be called from any thread.
class JobHost : public EventTarget {
 public:
  virtual JobSettings Settings() const = 0;
  // The date of the open day log ("YYYY-MM-DD"); names the day's error and archive folders.
  virtual std::string Session() const = 0;
  // Closes the day log; the next event opens the log of the current day.
  virtual void CloseLog() = 0;
  // Asks the user a yes-or-no question through the host (IQendixPrompt of a connected sink);
  // true for Yes. No sink that answers means No. Blocks until answered.
  virtual bool AskYesNo(const std::string& title, const std::string& text) = 0;

 protected:
  ~JobHost() = default;
};

// A cancel request shared by job control (which sets it) and the job's steps (which read it).
// A step may install a hook that the request calls at once, to end a wait in progress (an HTTP
// exchange); the hook must be quick and must not call back into the token. Thread-safe.
class CancelToken {
 public:
  void Cancel() {
    cancelled_.store(true);
    std::lock_guard lock(mutex_);
    if (onCancel_) onCancel_();
  }
  bool Cancelled() const { return cancelled_.load(); }
  // Installs (or, with an empty function, removes) the hook; a request already made calls it now.
  void OnCancel(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    onCancel_ = std::move(hook);
    if (onCancel_ && cancelled_.load()) onCancel_();
  }

 private:
  std::atomic<bool> cancelled_{false};
  std::mutex mutex_;
  std::function<void()> onCancel_;
};

// One per job, used on the job's worker thread only (the cancel token excepted). The host must
// outlive the context; job control guarantees it by holding a reference on the component.
class JobContext {
 public:
  JobContext(JobHost& host, std::shared_ptr<CancelToken> cancel);
  ~JobContext();
  JobContext(const JobContext&) = delete;
  JobContext& operator=(const JobContext&) = delete;

  JobHost& Host() const { return host_; }
  JobSettings Settings() const { return host_.Settings(); }
  std::string Session() const { return host_.Session(); }
  bool Cancelled() const { return cancel_->Cancelled(); }
  // See CancelToken::OnCancel.
  void OnCancel(std::function<void()> hook) { cancel_->OnCancel(std::move(hook)); }

  // While set (the first three steps of an Auto job) a step keeps the job lock at its end.
  void SetAutoMode(bool value) { autoMode_ = value; }
  bool AutoMode() const { return autoMode_; }
  // True for the first call in this job, false afterwards: the first step that finds the work
  // directory usable does the job's housekeeping (the retention of old day folders and logs).
  bool TakeHousekeeping() { return !std::exchange(housekeepingDone_, true); }

  // Gives the job lock back, unless auto mode keeps it for the job's next step.
  void GiveBackJobLock() const;

  // Makes sure the security client runs under the configured login and starts the session that
  // relays its status messages as events with `origin`; false (reported) when that fails.
  bool StartAsas(tagMsgOrigin origin);
  // Ends the session StartAsas started, if any.
  void StopAsas();

  // The data a running Anonymizer shares with its transform and envelopes; null otherwise.
  void SetAnonymizer(std::shared_ptr<AnonymizerContext> anonymizer);
  const std::shared_ptr<AnonymizerContext>& Anonymizer() const { return anonymizer_; }

 private:
  JobHost& host_;
  std::shared_ptr<CancelToken> cancel_;
  bool autoMode_ = false;
  bool housekeepingDone_ = false;
  std::unique_ptr<AsasSession> asasSession_;
  std::shared_ptr<AnonymizerContext> anonymizer_;
};

}  // namespace qx
