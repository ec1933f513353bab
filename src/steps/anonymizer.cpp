#include "steps/anonymizer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "anonymization/transfer_document.h"
#include "crypto/start_asas.h"
#include "formats/file_kind.h"
#include "net/center_directory.h"
#include "net/download_window.h"
#include "platform/codepage.h"
#include "platform/fault_injection.h"
#include "platform/file_system.h"
#include "platform/hresult_errno.h"
#include "platform/last_error.h"
#include "support/messages.h"
#include "support/settings.h"
#include "support/system_description.h"

namespace qx {
namespace {

// A recipient list shorter than this names no Trust Center.
constexpr size_t kMinRcptLength = 6;

}  // namespace

PAnonymizer::PAnonymizer(JobContext& context)
    : PStep(context, moPAnonymizer, LoadMessageA(1020), LoadMessageA(1021), LoadMessageA(1103)),
      anonymizer_(std::make_shared<AnonymizerContext>(&context.Host(), moPAnonymizer)),
      transform_(context.Host(), GeneratorText()),
      gniConverter_(GeneratorText()),
      certificates_(std::make_unique<CertificateCache>(settings_.workDirectory, &context.Host())) {
  context_.SetAnonymizer(anonymizer_);
}

PAnonymizer::~PAnonymizer() {
  anonymizer_->CloseEnvelopeWorkspace();  // when Finish was not reached
  certificates_.reset();
  context_.SetAnonymizer(nullptr);
}

bool PAnonymizer::CheckPreconditions() {
  const std::string& work = settings_.workDirectory;
  if (Utf8Length(work) < 3) {
    RaiseAs(moPChecker, mlError, mcModule, 7, std::nullopt, LoadMessage(1107));
    return false;
  }
  if (Utf8Length(settings_.asasLogin) < 3) {
    RaiseAs(moPChecker, mlError, mcModule, 8, std::nullopt, LoadMessage(1108));
    return false;
  }
  CenterDirectory directory;
  if (directory.LoadCache()) rcpt_ = directory.Rcpt(settings_.trustCenter.value_or(std::string()));
  if (rcpt_.size() < kMinRcptLength) {
    RaiseAs(moPSender, mlError, mcModule, 9, std::nullopt, LoadMessage(1120));
    return false;
  }
  anonymizer_->SetRcpt(rcpt_);
  anonymizer_->SetSender(SenderForLogin(settings_.asasLogin, rcpt_));
  anonymizer_->SetWithPdf(settings_.Has(kOptionWithPdf));
  sourceDir_ = JoinPath(work, "valid");
  targetDir_ = JoinPath(work, "output");
  anonymizer_->SetValidFolder(sourceDir_);
  CreateDirectoryLevel(targetDir_);
  return StartAsas();
}

void PAnonymizer::Prepare(std::vector<std::string>& files) {
  if (settings_.Has(kOptionWithPdf)) {
    // The slips go to the shared context, which holds their only list; the invoices stay, in
    // their order, in `files`.
    std::vector<std::string> pdfs;
    pdfs.reserve(static_cast<size_t>(std::count_if(
        files.begin(), files.end(), [&](const auto& n) { return KindOf(n) == fkPdf; })));
    size_t invoices = 0;
    for (auto& name : files) {
      if (KindOf(name) == fkPdf)
        pdfs.push_back(std::move(name));
      else if (&files[invoices++] != &name)
        files[invoices - 1] = std::move(name);
    }
    files.resize(invoices);
    anonymizer_->SetPdfFiles(std::move(pdfs));
    anonymizer_->SetPdfListIncomplete(ListingIncomplete());
  }
  fileFailed_ = false;
  // One private message folder and one S/MIME object for all envelopes of the run. Without them
  // every envelope makes its own, and reports the same failure if that fails too.
  anonymizer_->OpenEnvelopeWorkspace();
  DownloadWindow::Instance().Acquire();
  windowAcquired_ = true;
  CenterDirectory().Refresh();
  certificates_->Lookup(rcpt_);
}

void PAnonymizer::ProcessFile(const std::string& name) {
  // The kind the listing read: a second look could only disagree by failing.
  const FileKind kind = KindOf(name);
  if (kind != fkXml && kind != fkGni) {
    Raise(mlError, mcModule, 10, name, LoadMessage(1123));
    MoveToError(name);
    return;
  }
  std::string published;
  HRESULT hr = Anonymize(name, kind, &published);
  if (Failed(hr)) {
    anonymizer_->ForgetEnvelopedPdfs();
    ReportFailure(name, hr);
    return;
  }
  // The document is safely in "output": only now does the invoice leave "valid". When it cannot,
  // the document is taken back: the invoice stays in one place, for the next run, rather than
  // going out now and once more as a duplicate later.
  if (sys::Unlink(SourcePath(name).c_str()) != 0 && errno != ENOENT) {
    hr = HresultFromErrno(errno);
    if (sys::Unlink(published.c_str()) != 0)
      ReportSystemError(BaseName(published), HresultFromErrno(errno));
    anonymizer_->ForgetEnvelopedPdfs();
    ReportFailure(name, hr);
    return;
  }
  ++doneCount_;
  // A slip that cannot be removed went in the document all the same; it is told, as the copy
  // left in "valid" is set aside by a later run.
  std::vector<std::pair<std::string, int>> undeleted;
  anonymizer_->DeleteEnvelopedPdfs(&undeleted);
  for (const auto& [pdf, error] : undeleted) ReportSystemError(pdf, HresultFromErrno(error));
  Raise(mlInfo, mcModule, 2, name, okText_);
}

HRESULT PAnonymizer::Anonymize(const std::string& name, FileKind kind, std::string* published) {
  std::string document;
  HRESULT hr = MakeTransferDocument(transform_, gniConverter_, kind, SourcePath(name), name, rcpt_,
                                    settings_.Has(kOptionWithPdf), anonymizer_, &document);
  if (Succeeded(hr)) hr = Publish(name, document, published);
  return hr;
}

HRESULT PAnonymizer::Publish(const std::string& name, const std::string& document,
                             std::string* published) {
  std::string temp;
  HRESULT hr = WriteHiddenTempFile(targetDir_, name, document, &temp);
  if (Failed(hr)) return hr;
  hr = MoveToFreeName(temp, TargetPath(name), published);
  if (Failed(hr)) {
    sys::Unlink(temp.c_str());
    return hr;
  }
  // The invoice may leave "valid" only once the document's name is on disk: a crash could
  // otherwise take both. When the folder cannot be flushed, the document is taken back and the
  // invoice stays for the next run, so that it is in one place, not two.
  hr = SyncFolder(targetDir_);
  if (Failed(hr) && sys::Unlink(published->c_str()) != 0)
    ReportSystemError(BaseName(*published), HresultFromErrno(errno));
  return hr;
}

void PAnonymizer::ReportFailure(const std::string& name, HRESULT hr) {
  // E_FAIL says only that the invoice is no usable XML or GNI: no cause to report beyond 1022.
  if (hr != E_FAIL) ReportSystemError(name, hr);
  Raise(mlError, mcAsas, 15, name, LoadMessage(1022));
  Raise(mlWarning, mcModule, 3, name, failText_);
  fileFailed_ = true;
}

void PAnonymizer::Finish() {
  std::string pdf;
  bool delivered = false;
  // Without withPDF no slips were listed, and none were given to the context.
  const size_t pdfCount = settings_.Has(kOptionWithPdf) ? anonymizer_->PdfCount() : 0;
  for (size_t i = 0; i < pdfCount && anonymizer_->PdfAt(i, &pdf, &delivered); ++i) {
    struct stat st;
    const bool gone = ::lstat(SourcePath(pdf).c_str(), &st) != 0 && errno == ENOENT;
    if (gone || delivered) {
      Raise(mlInfo, mcModule, 2, pdf, LoadMessage(1023));
      ++doneCount_;
    } else if (fileFailed_ || ListingIncomplete()) {
      // Its invoice may be among those that failed or could not be read: it waits for the next
      // run.
      Raise(mlWarning, mcModule, 3, pdf, failText_);
    } else {
      Raise(mlError, mcModule, 14, pdf, LoadMessage(1114));
      MoveToError(pdf);
    }
  }
  std::string folder;
  if (HRESULT hr = anonymizer_->CloseEnvelopeWorkspace(&folder); Failed(hr))
    ReportSystemError(folder, hr);
  // Released only when Prepare acquired it: an empty run leaves the count as it was.
  if (windowAcquired_) DownloadWindow::Instance().Release(false);
  windowAcquired_ = false;
}

}  // namespace qx
