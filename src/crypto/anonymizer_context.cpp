#include "crypto/anonymizer_context.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "platform/fault_injection.h"

namespace qx {
namespace {

bool Contains(const std::vector<std::string>& list, const std::string& name) {
  return std::find(list.begin(), list.end(), name) != list.end();
}

}  // namespace

RetryWait OneSecondWait() {
  // Cut short while a test injects failures (see fault_injection.h).
  return [] { std::this_thread::sleep_for(ShortWait(std::chrono::seconds(1))); };
}

AnonymizerContext::AnonymizerContext(EventTarget* events, tagMsgOrigin origin)
    : events_(events), origin_(origin), wait_(OneSecondWait()) {}

void AnonymizerContext::SetSender(std::string sender) {
  std::lock_guard lock(mutex_);
  sender_ = std::move(sender);
}
std::string AnonymizerContext::Sender() const {
  std::lock_guard lock(mutex_);
  return sender_;
}
void AnonymizerContext::SetRcpt(std::string rcpt) {
  std::lock_guard lock(mutex_);
  rcpt_ = std::move(rcpt);
}
std::string AnonymizerContext::Rcpt() const {
  std::lock_guard lock(mutex_);
  return rcpt_;
}
void AnonymizerContext::SetValidFolder(std::string folder) {
  std::lock_guard lock(mutex_);
  validFolder_ = std::move(folder);
}
std::string AnonymizerContext::ValidFolder() const {
  std::lock_guard lock(mutex_);
  return validFolder_;
}
void AnonymizerContext::SetPdfFiles(std::vector<std::string> names) {
  std::lock_guard lock(mutex_);
  std::vector<std::string> delivered;
  for (size_t i = 0; i < pdfs_.Names().size(); ++i)
    if (!pdfs_.IsOpen(i)) delivered.push_back(pdfs_.Names()[i]);
  pdfs_.Reset(std::move(names));
  for (const std::string& name : delivered) pdfs_.Deliver(name);
}
std::vector<std::string> AnonymizerContext::PdfFiles() const {
  std::lock_guard lock(mutex_);
  return pdfs_.Names();
}
void AnonymizerContext::SetWithPdf(bool withPdf) {
  std::lock_guard lock(mutex_);
  withPdf_ = withPdf;
}
bool AnonymizerContext::WithPdf() const {
  std::lock_guard lock(mutex_);
  return withPdf_;
}
void AnonymizerContext::SetPdfListIncomplete(bool incomplete) {
  std::lock_guard lock(mutex_);
  pdfListIncomplete_ = incomplete;
}
bool AnonymizerContext::PdfListIncomplete() const {
  std::lock_guard lock(mutex_);
  return pdfListIncomplete_;
}
void AnonymizerContext::SetRetryWait(RetryWait wait) {
  std::lock_guard lock(mutex_);
  wait_ = wait ? std::move(wait) : OneSecondWait();
}
RetryWait AnonymizerContext::Wait() const {
  std::lock_guard lock(mutex_);
  return wait_;
}

void AnonymizerContext::SetEnvelopeStandIn(std::shared_ptr<EnvelopeStandIn> standIn) {
  std::lock_guard lock(mutex_);
  standIn_ = std::move(standIn);
}
std::shared_ptr<EnvelopeStandIn> AnonymizerContext::StandIn() const {
  std::lock_guard lock(mutex_);
  return standIn_;
}

std::optional<std::string> AnonymizerContext::FindPdf(std::string_view key) const {
  std::lock_guard lock(mutex_);
  const size_t position = pdfs_.Find(key);
  if (position == PdfIndex::kNone) return std::nullopt;
  return pdfs_.Names()[position];
}

void AnonymizerContext::MarkEnveloped(const std::string& name) {
  std::lock_guard lock(mutex_);
  if (!Contains(enveloped_, name)) enveloped_.push_back(name);
}

std::vector<std::string> AnonymizerContext::EnvelopedPdfs() const {
  std::lock_guard lock(mutex_);
  return enveloped_;
}

bool AnonymizerContext::DeleteEnvelopedPdfs(std::vector<std::pair<std::string, int>>* undeleted) {
  std::lock_guard lock(mutex_);
  if (validFolder_.empty()) return enveloped_.empty();
  bool all = true;
  for (const std::string& name : enveloped_) {
    std::string path = validFolder_ + "/" + name;
    if (sys::Unlink(path.c_str()) != 0 && errno != ENOENT) {
      all = false;
      if (undeleted) undeleted->emplace_back(name, errno);
    }
    pdfs_.Deliver(name);
  }
  enveloped_.clear();
  return all;
}

size_t AnonymizerContext::PdfCount() const {
  std::lock_guard lock(mutex_);
  return pdfs_.Names().size();
}

bool AnonymizerContext::PdfAt(size_t position, std::string* name, bool* delivered) const {
  std::lock_guard lock(mutex_);
  if (position >= pdfs_.Names().size()) return false;
  *name = pdfs_.Names()[position];
  *delivered = !pdfs_.IsOpen(position);
  return true;
}

HRESULT AnonymizerContext::OpenEnvelopeWorkspace() {
  std::lock_guard lock(envelopeMutex_);
  if (workspace_) return S_OK;
  return EnvelopeWorkspace::Create(&workspace_);
}

HRESULT AnonymizerContext::CloseEnvelopeWorkspace(std::string* folder) {
  std::lock_guard lock(envelopeMutex_);
  if (!workspace_) return S_OK;
  if (folder) *folder = workspace_->Folder().Path();
  const HRESULT hr = workspace_->RemoveFolder();
  workspace_.reset();
  return hr;
}

HRESULT AnonymizerContext::WithEnvelopeWorkspace(
    const std::function<HRESULT(EnvelopeWorkspace&)>& use) const {
  std::lock_guard lock(envelopeMutex_);
  if (workspace_) return use(*workspace_);
  std::unique_ptr<EnvelopeWorkspace> own;
  HRESULT hr = EnvelopeWorkspace::Create(&own);
  if (Failed(hr)) return hr;
  return use(*own);
}

void AnonymizerContext::ForgetEnvelopedPdfs() {
  std::lock_guard lock(mutex_);
  enveloped_.clear();
}

}  // namespace qx
