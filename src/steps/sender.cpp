#include "steps/sender.h"

#include <unistd.h>

#include "formats/invoice_keys.h"
#include "net/center_directory.h"
#include "net/download_window.h"
#include "net/software_update.h"
#include "platform/codepage.h"
#include "platform/fault_injection.h"
#include "platform/file_system.h"
#include "platform/hresult_errno.h"
#include "support/messages.h"
#include "support/settings.h"

namespace qx {
namespace {

// The input gate's fixed credentials, the same for every installation.
constexpr const char* kGateLogin = "qendix";
constexpr const char* kGatePassword = "kavint";
// A Trust Center URL shorter than this names no server.
constexpr size_t kMinUrlLength = 8;

}  // namespace

PSender::PSender(JobContext& context)
    : PInvoiceStep(context, moPSender, LoadMessageA(1030), LoadMessageA(1031), LoadMessageA(1103)) {
}

PSender::~PSender() {
  context_.OnCancel(nullptr);  // before the client it names goes
}

bool PSender::CheckPreconditions() {
  const std::string& work = settings_.workDirectory;
  if (Utf8Length(work) <= 2) {
    Raise(mlError, mcModule, 7, std::nullopt, LoadMessage(1107));
    return false;
  }
  if (Utf8Length(settings_.asasLogin) <= 2) {
    Raise(mlError, mcModule, 8, std::nullopt, LoadMessage(1108));
    return false;
  }
  const std::string label = settings_.trustCenter.value_or(std::string());
  if (Utf8Length(label) <= 2) {
    Raise(mlError, mcModule, 9, std::nullopt, LoadMessage(1109));
    return false;
  }
  CenterDirectory directory;
  if (directory.LoadCache()) {
    tcUrl_ = directory.Url(label);
    tcRcpt_ = directory.Rcpt(label);
  }
  if (tcUrl_.size() < kMinUrlLength) {
    Raise(mlError, mcModule, 9, std::nullopt, LoadMessage(1121));
    return false;
  }
  // The register must be usable before any file is judged by it.
  if (!CheckRegister()) return false;
  sourceDir_ = JoinPath(work, "output");
  // The day folder is made by the first move into it, and the archive again with it when it
  // could not be made here.
  targetParent_ = JoinPath(work, "archive");
  CreateDirectoryLevel(targetParent_);
  targetDir_ = JoinPath(targetParent_, context_.Session());
  return StartAsas();
}

void PSender::AcquireWindow() {
  DownloadWindow::Instance().Acquire();
  windowAcquired_ = true;
}

void PSender::Prepare(std::vector<std::string>& files) {
  AcquireWindow();
  client_ = std::make_unique<XmlRpcClient>(context_.Host(), tcUrl_);
  // A Cancel ends a running exchange at once; the file in flight stays in "output".
  context_.OnCancel([client = client_.get()] { client->Abort(); });
  if (!client_->OpenSession(kGateLogin, kGatePassword)) {
    Raise(mlError, mcSystem, 16, std::nullopt, LoadMessage(1032));
    files.clear();  // they stay in "output" for the next run
  }
}

void PSender::ProcessFile(const std::string& name) {
  if (unrecorded_) {
    // The register did not take a delivery of this run: what went out now could not be told
    // from what did not, so nothing more goes. The documents wait in "output".
    Raise(mlWarning, mcModule, 3, name, failText_);
    return;
  }
  const std::string path = SourcePath(name);
  InvoiceKeys keys;
  int readError = 0;
  InvoiceFileRead read = ReadXmlInvoice(path, &keys, &readError);
  // The recipient of the XML reading is kept even when the file then reads as GNI.
  const std::string recipient = this->recipient();
  if (read != InvoiceFileRead::kRead && read != InvoiceFileRead::kFailed)
    read = ReadGniInvoice(path, &keys, &readError);
  if (read == InvoiceFileRead::kFailed) {
    // Not judged by what could not be read: it stays in "output" for the next run.
    ReportUnread(name, readError);
    return;
  }
  const bool recognised = read == InvoiceFileRead::kRead;
  if (!recognised) {
    RaiseAs(moPChecker, mlError, mcModule, 10, name, LoadMessage(1052));
    MoveToError(name);
    return;
  }
  if (IsDuplicate(keys)) {
    RaiseAs(moPChecker, mlError, mcModule, 12, name, LoadMessage(1054));
    MoveToError(name);
    return;
  }
  if (recipient != tcRcpt_) {
    RaiseAs(moPChecker, mlError, mcModule, 22, name, LoadMessage(1056));
    MoveToError(name);
    return;
  }
  if (!client_->WriteDocument(path)) {
    Raise(mlError, mcModule, 17, name, LoadMessage(1033));
    Raise(mlWarning, mcModule, 3, name, failText_);
    return;
  }
  if (client_->rejected()) {
    MoveToError(name);
    Raise(mlError, mcModule, 17, name, LoadMessage(1033));
    return;
  }
  // Delivered: on record before the file leaves "output", so that it never goes twice. A delivery
  // the register could not take (told) is kept for the save at the end of the run; the document
  // leaves "output" all the same, as sending it again would send it twice.
  if (!RecordDelivered(keys)) unrecorded_ = true;
  if (settings_.Has(kOptionWithArchive)) {
    HRESULT hr = MoveIntoTarget(name, nullptr);
    if (Succeeded(hr)) {
      ++doneCount_;
      Raise(mlInfo, mcModule, 2, name, okText_);
      return;
    }
    // A delivered document left in "output" would be judged again by the next run and set aside
    // as a duplicate: it goes as without withArchive, after the failure to archive it is told.
    ReportSystemError(name, hr);
  }
  if (sys::Unlink(path.c_str()) != 0 && errno != ENOENT) {
    ReportSystemError(name, HresultFromErrno(errno));
    Raise(mlWarning, mcModule, 3, name, failText_);
    return;
  }
  ++doneCount_;
  Raise(mlInfo, mcModule, 2, name, okText_);
}

void PSender::Finish() {
  if (client_) {
    client_->CloseSession();
    context_.OnCancel(nullptr);
  } else {
    AcquireWindow();
    client_ = std::make_unique<XmlRpcClient>(context_.Host(), tcUrl_);
  }
  SaveRegister();
  CheckForUpdate(
      client_.get(), settings_.workDirectory, DefaultUpdatePolicy(),
      [this](const std::string& title, const std::string& text) {
        return context_.Host().AskYesNo(title, text);
      },
      [this](const std::string& url) {
        Raise(mlInfo, mcModule, kNewerVersionEventCode, BStr(), FillText(LoadMessage(201), {url}));
      });
  CenterDirectory().Refresh();
  if (windowAcquired_) DownloadWindow::Instance().Release(false);
  windowAcquired_ = false;
}

}  // namespace qx
