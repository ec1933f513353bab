#include "steps/step.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include <new>

#include "crypto/envelopes.h"
#include "formats/file_kind.h"
#include "platform/call_guard.h"
#include "platform/codepage.h"
#include "platform/fault_injection.h"
#include "platform/file_system.h"
#include "platform/hresult_errno.h"
#include "platform/last_error.h"
#include "steps/retention.h"
#include "support/messages.h"
#include "support/settings.h"

namespace qx {
namespace {
// How many numbered names UniquePath tries before it gives up.
constexpr int kMaxUniqueTries = 10000;
constexpr size_t kCleanNameCapacity = 255;

uint64_t NameHash(const HashKey& key, const std::string& name) {
  KeyedHasher hasher(key);
  hasher.Update(name);
  return hasher.Final();
}

// The step's name in the log of injected failures.
const char* FaultTag(tagMsgOrigin origin) {
  switch (origin) {
    case moPReader:
      return "reader";
    case moPChecker:
      return "checker";
    case moPAnonymizer:
      return "anonymizer";
    case moPSender:
      return "sender";
    default:
      return "step";
  }
}
}  // namespace

PStep::PStep(JobContext& context, tagMsgOrigin origin, std::string name, std::string okText,
             std::string failText)
    : context_(context),
      settings_(context.Settings()),
      origin_(origin),
      name_(std::move(name)),
      okText_(std::move(okText)),
      failText_(std::move(failText)),
      kindKey_(RandomHashKey()) {}

PStep::~PStep() {
  context_.StopAsas();
}

void PStep::Prepare(std::vector<std::string>&) {}
void PStep::Finish() {}

void PStep::Raise(tagMsgLevel level, tagMsgClass mclass, int32_t code, const BStr& fileName,
                  const BStr& msg) {
  RaiseAs(origin_, level, mclass, code, fileName, msg);
}

void PStep::RaiseAs(tagMsgOrigin origin, tagMsgLevel level, tagMsgClass mclass, int32_t code,
                    const BStr& fileName, const BStr& msg) {
  context_.Host().RaiseEvent(level, mclass, origin, code, fileName, msg);
}

void PStep::Run() noexcept {
  FaultTagScope tag(FaultTag(origin_));
  if (context_.Cancelled()) {
    context_.GiveBackJobLock();
    return;
  }
  const HRESULT hr = GuardedCall([this] {
    RunSteps();
    return S_OK;
  });
  // Also after a failure: the moves made so far are reported already.
  GuardedCall([this] {
    SyncChangedFolders();
    return S_OK;
  });
  GuardedCall([this] {
    context_.StopAsas();
    return S_OK;
  });
  // Building the texts may fail too when memory is short; the lock is given back exactly once
  // whatever happens, and before the end event, so a host may start the next job from there.
  bool lockGivenBack = false;
  GuardedCall([&] {
    // Out of memory is reported as the system error it is; anything else as the result code.
    if (hr == E_OUTOFMEMORY)
      Raise(mlFatal, mcSystem, ENOMEM, std::nullopt, SystemErrorText(ENOMEM));
    else if (Failed(hr))
      Raise(mlFatal, mcSystem, hr, std::nullopt, ResultText(hr));
    std::string end = FormatEventText(LoadMessage(1101), name_, doneCount_, errorCount_);
    context_.GiveBackJobLock();
    lockGivenBack = true;
    Raise(mlInfo, mcModule, 1, std::nullopt, end);
    return S_OK;
  });
  if (!lockGivenBack) context_.GiveBackJobLock();
}

void PStep::RunSteps() {
  Raise(mlInfo, mcModule, 0, std::nullopt, FormatEventText(LoadMessage(1100), name_));
  const bool workUsable = CheckWorkDirectory();
  // After the start event, which opened the day's log: the session names the day in use.
  if (workUsable && context_.TakeHousekeeping()) {
    RetentionScope scope{settings_.workDirectory, ReadKeepDays(), TodayDayNumber(),
                         context_.Session()};
    RemoveExpiredDays(scope, context_.Host(), origin_);
  }
  if (workUsable && CheckPreconditions()) {
    // A move across file systems that was killed left a hidden copy in the target folder; its
    // file is still at the source and is listed again below.
    if (HRESULT hr = RemoveMoveLeftovers(targetDir_); Failed(hr)) ReportSystemError(targetDir_, hr);
    std::vector<std::string> files;
    {
      FaultTagScope tag("list");
      files = ListFiles();
    }
    Raise(mlInfo, mcCount, static_cast<int32_t>(files.size()), std::nullopt,
          FormatEventText(LoadMessage(1010), static_cast<int>(files.size())));
    if (files.empty()) {
      Raise(mlWarning, mcModule, 4, std::nullopt, LoadMessage(1104));
    } else {
      // The files leave the source folder and arrive in the target folder, however the step
      // moves, writes or removes them.
      FolderChanged(sourceDir_);
      FolderChanged(targetDir_);
      {
        FaultTagScope tag("prepare");
        Prepare(files);
      }
      for (const auto& file : files) {
        if (context_.Cancelled()) {
          Raise(mlWarning, mcModule, 5, std::nullopt, LoadMessage(1105));
          break;
        }
        FaultTagScope tag("file");
        ProcessFile(file);
      }
    }
    FaultTagScope tag("finish");
    Finish();
  }
}

bool PStep::CheckWorkDirectory() {
  if (IsUsableDirectory(settings_.workDirectory)) return true;
  Raise(mlError, mcModule, 7, std::nullopt, LoadMessage(1122));
  return false;
}

std::vector<std::string> PStep::ListFiles() {
  std::vector<std::string> names;
  listedKinds_.clear();
  listingIncomplete_ = false;
  if (HRESULT hr = ListRegularFiles(sourceDir_, &names); Failed(hr)) {
    // A folder that cannot be read is not an empty one.
    if (hr != HresultFromErrno(ENOENT)) {
      ReportSystemError(sourceDir_, hr);
      listingIncomplete_ = true;
    }
    return {};
  }
  listedKinds_.reserve(names.size());
  // The recognised names stay in the listing's own list, in its order: no second list of them.
  size_t kept = 0;
  for (auto& name : names) {
    int error = 0;
    const FileKind kind = ClassifyFile(SourcePath(name), &error);
    if (kind == fkOther) {
      if (error != 0 && ReportsUnreadableFiles()) {
        ReportSystemError(name, HresultFromErrno(error));
        Raise(mlWarning, mcModule, 3, name, failText_);
        listingIncomplete_ = true;
      }
      continue;
    }
    listedKinds_.emplace_back(NameHash(kindKey_, name), kind);
    if (&names[kept] != &name) names[kept] = std::move(name);
    ++kept;
  }
  names.resize(kept);
  std::sort(listedKinds_.begin(), listedKinds_.end());
  return names;
}

FileKind PStep::KindOf(const std::string& name) const {
  const uint64_t hash = NameHash(kindKey_, name);
  auto it = std::lower_bound(listedKinds_.begin(), listedKinds_.end(), hash,
                             [](const auto& entry, uint64_t value) { return entry.first < value; });
  return it != listedKinds_.end() && it->first == hash ? it->second
                                                       : ClassifyFile(SourcePath(name));
}

std::string PStep::SourcePath(const std::string& name) const {
  return JoinPath(sourceDir_, name);
}
std::string PStep::TargetPath(const std::string& name) const {
  return JoinPath(targetDir_, name);
}

HRESULT PStep::UniquePath(std::string& path) const {
  std::string candidate = path;
  int cause = EEXIST;
  for (int counter = 1; counter <= kMaxUniqueTries; ++counter) {
    struct stat st;
    if (::lstat(candidate.c_str(), &st) != 0) {
      if (errno == ENOENT) {
        path = candidate;
        return S_OK;
      }
      cause = errno;
      // Longer names cannot do better than a name that is already too long.
      if (cause == ENAMETOOLONG) break;
    }
    candidate = path + "." + std::to_string(counter);
  }
  return HresultFromErrno(cause);
}

// Durability of the moves. Within one file system a move is one rename (MoveFileNoReplace), which
// is atomic: after a crash the file is under exactly one of its two names, never under both or
// neither. Which one depends on whether the file system wrote the folder change to disk. A move
// that was undone by a crash puts the file back into the step's source folder, where the next run
// takes it again: nothing is lost or doubled. What must not happen is that a later step, or the
// register, builds on a move that is then undone; so every folder a step changed is flushed once,
// after its last file and before its end event, its job lock's release and the next step's
// start: the next step only ever sees moves that are on disk. One flush per folder and step
// gives the same guarantee as one per file, at a fraction of the cost.
//
// Where a step's own contract needs more, it flushes at once: the Anonymizer's transfer document
// is written and flushed with its folder before the invoice it came from is removed (the name in
// "output" must survive before the one in "valid" goes), and the Sender appends a delivery to the
// register, flushed, before the sent file leaves "output". A move across file systems (the
// invoice folder on another disk) is a copy: it flushes the copy and the target folder before the
// source is removed (else a crash could keep the removal and lose the copy), and the source folder
// after; only these flushes per file keep the file from being lost, and a crash from leaving more
// than the one file in flight in both places (see MoveFileNoReplace).
HRESULT PStep::MoveToFreeName(const std::string& source, const std::string& target,
                              std::string* moved) {
  FolderChanged(FolderOf(source));
  FolderChanged(FolderOf(target));
  // The name itself first: usually it is free. A taken name, also one taken between UniquePath
  // and the move, makes the move fail with EEXIST; the next free name is then tried, so a race
  // never overwrites and rarely fails.
  std::string candidate = target;
  HRESULT hr = MoveFileNoReplace(source, candidate);
  for (int attempt = 0; attempt < 3 && hr == HresultFromErrno(EEXIST); ++attempt) {
    candidate = target;
    hr = UniquePath(candidate);
    if (Failed(hr)) return hr;
    hr = MoveFileNoReplace(source, candidate);
  }
  if (Succeeded(hr) && moved) *moved = std::move(candidate);
  return hr;
}

void PStep::FolderChanged(const std::string& folder) {
  for (const auto& known : changedFolders_)
    if (known == folder) return;
  changedFolders_.push_back(folder);
}

void PStep::SyncChangedFolders() {
  std::vector<std::string> folders = std::move(changedFolders_);
  changedFolders_.clear();
  for (const auto& folder : folders) {
    const HRESULT hr = SyncFolder(folder);
    // A folder that is gone has nothing left to flush.
    if (Failed(hr) && hr != HresultFromErrno(ENOENT)) ReportSystemError(folder, hr);
  }
}

HRESULT PStep::EnsureFolder(const std::string& folder) {
  for (const auto& made : madeFolders_)
    if (made == folder) return S_OK;
  if (HRESULT hr = CreateDirectoryLevel(folder); Failed(hr)) return hr;
  madeFolders_.push_back(folder);
  // A folder made now must survive as a name too, or the files moved into it are lost with it.
  FolderChanged(FolderOf(folder));
  return S_OK;
}

HRESULT PStep::MoveIntoFolder(const std::string& source, const std::string* parent,
                              const std::string& folder, const std::string& name,
                              std::string* moved) {
  // The first failure to make a folder; the move that then fails for want of the folder
  // reports it rather than the missing folder.
  HRESULT made = S_OK;
  auto ensure = [&] {
    HRESULT hr = parent ? EnsureFolder(*parent) : S_OK;
    if (Succeeded(hr)) hr = EnsureFolder(folder);
    if (Succeeded(made)) made = hr;
  };
  ensure();
  HRESULT hr = MoveToFreeName(source, JoinPath(folder, name), moved);
  struct stat st;
  if (hr == HresultFromErrno(ENOENT) && ::lstat(source.c_str(), &st) == 0) {
    // The folder was removed since this run made it.
    madeFolders_.clear();
    ensure();
    hr = MoveToFreeName(source, JoinPath(folder, name), moved);
  }
  return hr == HresultFromErrno(ENOENT) && Failed(made) ? made : hr;
}

HRESULT PStep::MoveIntoTarget(const std::string& name, std::string* moved) {
  return MoveIntoFolder(SourcePath(name), targetParent_.empty() ? nullptr : &targetParent_,
                        targetDir_, name, moved);
}

void PStep::MoveToTarget(const std::string& name) {
  HRESULT hr = MoveIntoTarget(name, nullptr);
  if (Succeeded(hr)) {
    Raise(mlInfo, mcModule, 2, name, okText_);
    ++doneCount_;
    return;
  }
  ReportSystemError(name, hr);
  Raise(mlWarning, mcModule, 3, name, failText_);
}

bool PStep::MoveToError(const std::string& name) {
  const std::string errors = JoinPath(settings_.workDirectory, "err");
  HRESULT hr =
      MoveIntoFolder(SourcePath(name), &errors, JoinPath(errors, context_.Session()), name);
  if (Succeeded(hr)) {
    ++errorCount_;
    return true;
  }
  ReportSystemError(name, hr);
  Raise(mlWarning, mcModule, 3, name, failText_);
  return false;
}

void PStep::ReportSystemError(const std::string& name, HRESULT hr) {
  if (Succeeded(hr)) return;
  if (int error = ErrnoFromHresult(hr); error != 0)
    Raise(mlError, mcSystem, error, name, SystemErrorText(error));
  else
    Raise(mlError, mcSystem, hr, name, ResultText(hr));
}

const std::string& PStep::CleanName(const BStr& text) {
  cleanName_ = text ? TruncateUtf8(CleanReference(*text), kCleanNameCapacity) : std::string();
  return cleanName_;
}

bool PStep::StartAsas() {
  return context_.StartAsas(origin_);
}

}  // namespace qx
