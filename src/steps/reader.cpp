#include "steps/reader.h"

#include <cerrno>

#include "platform/codepage.h"
#include "platform/file_system.h"
#include "support/messages.h"

namespace qx {

PReader::PReader(JobContext& context)
    : PStep(context, moPReader, LoadMessageA(1040), LoadMessageA(1102), LoadMessageA(1103)) {
  context_.Host().CloseLog();
}

bool PReader::CheckPreconditions() {
  std::string input = settings_.inputDirectory;
  // A null directory reads as empty: not set, like a text that is too short.
  if (Utf8Length(input) < 2) {
    Raise(mlError, mcModule, 6, std::nullopt, LoadMessage(1106));
    return false;
  }
  std::string work = settings_.workDirectory;
  if (Utf8Length(work) < 3) {
    Raise(mlError, mcModule, 7, std::nullopt, LoadMessage(1107));
    return false;
  }
  if (!IsUsableDirectory(input)) {
    Raise(mlError, mcModule, 6, std::nullopt, LoadMessage(1124));
    return false;
  }
  sourceDir_ = input;
  targetDir_ = JoinPath(work, "input");
  return true;
}

void PReader::Prepare(std::vector<std::string>& files) {
  writers_.LookAt(sourceDir_);
}

void PReader::ProcessFile(const std::string& name) {
  if (HRESULT hr = writers_.Movable(SourcePath(name)); Failed(hr)) {
    ReportSystemError(name, hr);
    Raise(mlWarning, mcModule, 3, name, failText_);
    return;
  }
  MoveToTarget(name);
}

}  // namespace qx
