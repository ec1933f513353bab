#include "crypto/certificate_cache.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "crypto/asas_objects.h"
#include "crypto/message_file.h"
#include "platform/codepage.h"
#include "platform/file_system.h"
#include "platform/hresult_errno.h"
#include "platform/last_error.h"
#include "support/messages.h"

namespace qx {
namespace {

constexpr size_t kCertificateLineChars = 76;

bool IsBase64Char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/' || c == '=';
}

std::vector<std::string> SplitRecipients(std::string_view rcpt) {
  std::string list = TruncateUtf8(rcpt, kMaxRecipientListBytes);
  std::vector<std::string> names;
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t comma = list.find(',', pos);
    if (comma == std::string::npos) comma = list.size();
    if (comma > pos) names.push_back(list.substr(pos, comma - pos));
    pos = comma + 1;
  }
  return names;
}

}  // namespace

std::string CertificateFileText(std::string_view base64) {
  std::string text = "-----BEGIN CERTIFICATE-----\n";
  for (size_t pos = 0; pos < base64.size(); pos += kCertificateLineChars) {
    text.append(base64.substr(pos, kCertificateLineChars));
    text += '\n';
  }
  text += "-----END CERTIFICATE-----\n";
  return text;
}

std::string CleanCertificateText(std::string_view text) {
  std::string clean;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (!IsBase64Char(c) || clean.size() >= kMaxCertificateChars) return {};
    clean += c;
  }
  return clean;
}

bool IsPlainFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

CertificateCache::CertificateCache(const std::string& workDirectory, EventTarget* events,
                                   tagMsgOrigin origin)
    : events_(events), origin_(origin) {
  if (workDirectory.empty()) return;
  cacheFolder_ = workDirectory;
  while (cacheFolder_.size() > 1 && cacheFolder_.back() == '/') cacheFolder_.pop_back();
  cacheFolder_ += "/cache";
  CreateDirectoryLevel(cacheFolder_);  // an existing folder is fine; failures show in Lookup
}

CertificateCache::~CertificateCache() {
  if (registeredKeys_.empty()) return;
  RefPtr<IAsasClientConf> conf;
  if (Failed(CreateAsasObject("Asas.Client.Conf", &conf))) return;
  for (const std::string& key : registeredKeys_)
    conf->ConfSetValue(std::string("smime"), key, Variant());
  registeredKeys_.clear();
}

void CertificateCache::Raise(tagMsgLevel level, tagMsgClass mclass, int32_t code,
                             const std::string& text) {
  if (events_) events_->RaiseEvent(level, mclass, origin_, code, std::nullopt, text);
}

bool CertificateCache::Lookup(std::string_view rcpt) {
  RefPtr<IAsasClientConf> conf;
  HRESULT hr = CreateAsasObject("Asas.Client.Conf", &conf);
  if (Failed(hr)) {
    Raise(mlError, mcSystem, hr, ResultText(hr));
    return false;
  }
  RefPtr<IAsasSmime> smime;
  hr = CreateAsasObject("Asas.SMIME", &smime);
  if (Failed(hr)) {
    Raise(mlError, mcSystem, hr, ResultText(hr));
    return false;
  }
  if (cacheFolder_.empty()) {
    Raise(mlError, mcSystem, HresultFromErrno(ENOENT), ResultText(HresultFromErrno(ENOENT)));
    return false;
  }

  for (const std::string& name : SplitRecipients(rcpt)) {
    BStr found;
    std::string certificate;
    if (IsPlainFileName(name) && smime->SmimeFindCertificate(name, &found) == S_OK)
      certificate = CleanCertificateText(found.value_or(""));
    if (certificate.empty()) {
      Raise(mlWarning, mcModule, 0, "Certificate lookup: " + name + " failed");
      continue;
    }
    Raise(mlDebug, mcModule, 0, "Certificate lookup: " + name + " OK");

    const std::string key = name + "_cert";
    const std::string path = cacheFolder_ + "/" + name + ".crt";
    // The file is in place before the client is told where it is.
    hr = WriteFileAtomically(path, CertificateFileText(certificate));
    if (Succeeded(hr)) hr = conf->ConfSetValue(std::string("smime"), key, Variant(path));
    if (Failed(hr)) {
      Raise(mlWarning, mcSystem, hr, ResultText(hr));
      continue;
    }
    registeredKeys_.push_back(key);
  }
  return true;
}

}  // namespace qx
