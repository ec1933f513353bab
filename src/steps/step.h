// PStep: the step framework. Run() is the template every step follows: start event, work
// directory check, in the first step of a job the retention of old day folders and logs
// (steps/retention.h), the step's own preconditions, removal of the hidden copies that killed moves
// left in the target folder (RemoveMoveLeftovers), listing of the recognised files of the source
// folder, count event, Prepare, ProcessFile per file while not cancelled, Finish, the flush of
// every folder the step moved files into or out of (see FolderChanged), end event with the
// counts. The job lock is given back before the end event unless an Auto job is running.
//
// A step lives for one Run on a job's worker thread. It sees the job only through its JobContext,
// which job control owns and keeps alive for the step's lifetime. Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "formats/file_kind.h"
#include "platform/keyed_hash.h"
#include "qendix/qendix.h"
#include "steps/job_context.h"

namespace qx {

class PStep {
 public:
  virtual ~PStep();
  PStep(const PStep&) = delete;
  PStep& operator=(const PStep&) = delete;

  // Runs the step. An exception out of the step's work (out of memory) ends the run with a fatal
  // event and the end event, so a host that waits for the end never waits forever.
  void Run() noexcept;

  int doneCount() const { return doneCount_; }
  int errorCount() const { return errorCount_; }

 protected:
  PStep(JobContext& context, tagMsgOrigin origin, std::string name, std::string okText,
        std::string failText);

  // Sets sourceDir_ and targetDir_; reports its own failures; false stops the run.
  virtual bool CheckPreconditions() = 0;
  // Called once with the file list before the first file (not for an empty list).
  virtual void Prepare(std::vector<std::string>& files);
  virtual void ProcessFile(const std::string& name) = 0;
  // Called after the loop, also after an empty list or a cancel.
  virtual void Finish();

  bool CheckWorkDirectory();
  // The names of the source folder's regular files of a recognised kind; remembers each kind.
  // A folder that cannot be read is reported (a system error event naming it) and lists nothing.
  // In a work folder (every step but the Reader, see ReportsUnreadableFiles) a file whose first
  // bytes cannot be read now is reported too (the system error and the warning with failText)
  // and left where it is; in both cases ListingIncomplete() tells the step that it must not judge
  // a file by what the listing lacks.
  std::vector<std::string> ListFiles();
  bool ListingIncomplete() const { return listingIncomplete_; }
  // Whether a file of the source folder that cannot be read is reported. The work folders hold
  // only files the component put there, so a failure to read one is news; the Reader's invoice
  // folder may hold any file of anyone, which it leaves alone without a message.
  virtual bool ReportsUnreadableFiles() const { return true; }
  // The kind of a file of the source folder: as ListFiles found it (the step's folders are
  // private to the component, so it does not change under the step), else read now.
  FileKind KindOf(const std::string& name) const;
  std::string SourcePath(const std::string& name) const;
  std::string TargetPath(const std::string& name) const;
  // Changes `path` to the first free name among path, path.1, path.2, ... Fails (EEXIST, or the
  // cause that ended the search, e.g. ENAMETOOLONG) when no free name is found within a bounded
  // number of tries.
  HRESULT UniquePath(std::string& path) const;
  // Moves `source` to `target` or, when that name is taken, to the first free numbered name
  // (MoveFileNoReplace). The result carries the cause of a failure. Both folders count as
  // changed (FolderChanged). `*moved` (may be null) receives the name the file went to.
  HRESULT MoveToFreeName(const std::string& source, const std::string& target,
                         std::string* moved = nullptr);
  // Notes a folder in which this step made, renamed or removed a name; Run flushes each such
  // folder once, after Finish and before the end event.
  void FolderChanged(const std::string& folder);
  // Moves a file from sourceDir_ to targetDir_ (never overwriting); reports success or failure.
  void MoveToTarget(const std::string& name);
  // The move of MoveToTarget without events or counting; `*moved` receives the target path.
  HRESULT MoveIntoTarget(const std::string& name, std::string* moved);
  // Moves a file into "<work>/err/<session>"; counts it; reports only a failure.
  bool MoveToError(const std::string& name);
  // Reports a failure as an error event of class mcSystem: an errno result (facility 7) with the
  // errno value as code and strerror's text, any other failure with the HRESULT and its text.
  // Nothing for a success.
  void ReportSystemError(const std::string& name, HRESULT hr);
  // The text without blanks, with "_" for "+", "-", "<" and ">"; at most 255 bytes.
  const std::string& CleanName(const BStr& text);
  // Makes sure the security client runs under the configured login and starts the session that
  // relays its status messages until the end of Run; reports failures as events. Called last by
  // the preconditions of the steps that encrypt or send.
  bool StartAsas();

  // Raises an event with this step's origin.
  void Raise(tagMsgLevel level, tagMsgClass mclass, int32_t code, const BStr& fileName,
             const BStr& msg);
  // Raises an event with another origin (checks a step makes on behalf of another).
  void RaiseAs(tagMsgOrigin origin, tagMsgLevel level, tagMsgClass mclass, int32_t code,
               const BStr& fileName, const BStr& msg);

  JobContext& context_;
  // The component's settings, read when the step was built.
  const JobSettings settings_;
  tagMsgOrigin origin_;
  std::string name_;
  std::string okText_;
  std::string failText_;
  std::string sourceDir_;
  std::string targetDir_;
  // The folder that holds targetDir_ when a move must make it first (the Sender's archive);
  // empty when targetDir_ is made by itself.
  std::string targetParent_;
  int doneCount_ = 0;
  int errorCount_ = 0;
  std::string cleanName_;

 private:
  void RunSteps();
  // Flushes the folders noted by FolderChanged; reports a failure as a system error event.
  void SyncChangedFolders();
  // Makes `folder` (one level) unless this run made or found it already; the failure to make it.
  HRESULT EnsureFolder(const std::string& folder);
  // MoveToFreeName into `folder`, which is made first (after `parent`, when given); made again
  // when it vanished meanwhile.
  HRESULT MoveIntoFolder(const std::string& source, const std::string* parent,
                         const std::string& folder, const std::string& name,
                         std::string* moved = nullptr);

  // The kind of every listed file, by a keyed hash of its name (sorted): some bytes per file
  // rather than a copy of every name, so that a folder of many thousand files costs little.
  std::vector<std::pair<uint64_t, FileKind>> listedKinds_;
  HashKey kindKey_;
  bool listingIncomplete_ = false;
  std::vector<std::string> changedFolders_;
  std::vector<std::string> madeFolders_;
};

}  // namespace qx
