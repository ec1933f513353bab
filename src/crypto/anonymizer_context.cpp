#include "crypto/anonymizer_context.h"

#include "platform/codepage.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

namespace qx {
namespace {

bool Contains(const std::vector<std::string>& list, const std::string& name) {
  return std::find(list.begin(), list.end(), name) != list.end();
}

bool IsAsciiText(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

std::string AsciiLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  return lower;
}

}  // namespace

RetryWait OneSecondWait() {
  return [] { std::this_thread::sleep_for(std::chrono::seconds(1)); };
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
  pdfFiles_ = std::move(names);
  asciiPdfs_.clear();
  otherPdfs_.clear();
  for (size_t i = 0; i < pdfFiles_.size(); ++i) {
    if (IsAsciiText(pdfFiles_[i]))
      asciiPdfs_.emplace_back(AsciiLower(pdfFiles_[i]), i);
    else
      otherPdfs_.push_back(i);
  }
  std::sort(asciiPdfs_.begin(), asciiPdfs_.end());
}
std::vector<std::string> AnonymizerContext::PdfFiles() const {
  std::lock_guard lock(mutex_);
  return pdfFiles_;
}
void AnonymizerContext::SetWithPdf(bool withPdf) {
  std::lock_guard lock(mutex_);
  withPdf_ = withPdf;
}
bool AnonymizerContext::WithPdf() const {
  std::lock_guard lock(mutex_);
  return withPdf_;
}
void AnonymizerContext::SetRetryWait(RetryWait wait) {
  std::lock_guard lock(mutex_);
  wait_ = wait ? std::move(wait) : OneSecondWait();
}
RetryWait AnonymizerContext::Wait() const {
  std::lock_guard lock(mutex_);
  return wait_;
}

std::optional<std::string> AnonymizerContext::FindPdf(std::string_view key) const {
  if (key.empty()) return std::nullopt;
  std::lock_guard lock(mutex_);
  const auto open = [&](size_t i) { return !deliveredNames_.count(pdfFiles_[i]); };
  size_t first = pdfFiles_.size();
  if (IsAsciiText(key)) {
    // For an ASCII name and key, StartsWithNoCase is a prefix match of the lower-cased texts:
    // the candidates are one range of the index. Other names are compared one by one.
    const std::string lower = AsciiLower(key);
    for (auto it = std::lower_bound(asciiPdfs_.begin(), asciiPdfs_.end(),
                                    std::pair<std::string, size_t>(lower, 0));
         it != asciiPdfs_.end() && it->first.starts_with(lower); ++it)
      if (it->second < first && open(it->second)) first = it->second;
    for (size_t i : otherPdfs_)
      if (i < first && open(i) && StartsWithNoCase(pdfFiles_[i], key)) first = i;
  } else {
    for (size_t i = 0; i < pdfFiles_.size() && first == pdfFiles_.size(); ++i)
      if (open(i) && StartsWithNoCase(pdfFiles_[i], key)) first = i;
  }
  if (first == pdfFiles_.size()) return std::nullopt;
  return pdfFiles_[first];
}

void AnonymizerContext::MarkEnveloped(const std::string& name) {
  std::lock_guard lock(mutex_);
  if (!Contains(enveloped_, name)) enveloped_.push_back(name);
}

std::vector<std::string> AnonymizerContext::EnvelopedPdfs() const {
  std::lock_guard lock(mutex_);
  return enveloped_;
}

bool AnonymizerContext::DeleteEnvelopedPdfs() {
  std::lock_guard lock(mutex_);
  if (validFolder_.empty()) return enveloped_.empty();
  bool all = true;
  for (const std::string& name : enveloped_) {
    std::string path = validFolder_ + "/" + name;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) all = false;
    delivered_.push_back(name);
    deliveredNames_.insert(name);
  }
  enveloped_.clear();
  return all;
}

std::vector<std::string> AnonymizerContext::DeliveredPdfs() const {
  std::lock_guard lock(mutex_);
  return delivered_;
}

HRESULT AnonymizerContext::OpenEnvelopeWorkspace() {
  std::lock_guard lock(envelopeMutex_);
  if (workspace_) return S_OK;
  return EnvelopeWorkspace::Create(&workspace_);
}

void AnonymizerContext::CloseEnvelopeWorkspace() {
  std::lock_guard lock(envelopeMutex_);
  workspace_.reset();
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
