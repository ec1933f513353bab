// CertificateCache: fetches the Trust Center recipients' certificates from the security client,
// keeps them as files in the work directory's "cache" folder and publishes their paths in the
// client's configuration (section "smime", key "<name>_cert"), so that the client can envelope
// for those recipients. What Lookup published is withdrawn when the cache is destroyed; the
// files stay and are replaced by the next lookup.
//
// Owned by the Anonymizer step for its run; used by one thread. The EventTarget (may be null)
// must outlive the cache.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "support/event_target.h"

namespace qx {

// Certificate text longer than this (base64 characters) is refused.
constexpr size_t kMaxCertificateChars = 64 * 1024;
// Recipient lists are cut to this many bytes before they are split.
constexpr size_t kMaxRecipientListBytes = 511;

class CertificateCache {
 public:
  // `workDirectory` is the UTF-8 path of the work directory; when it is not empty the "cache"
  // folder below it is created (an existing one is fine).
  CertificateCache(const std::string& workDirectory, EventTarget* events,
                   tagMsgOrigin origin = moPAnonymizer);
  // Withdraws every key that Lookup registered (when the configuration object can be made).
  ~CertificateCache();
  CertificateCache(const CertificateCache&) = delete;
  CertificateCache& operator=(const CertificateCache&) = delete;

  // For each name of the comma-separated `rcpt` (empty pieces skipped, pieces not trimmed):
  // look the certificate up ("Certificate lookup: <name> OK", debug; "... failed", warning),
  // write "<cache>/<name>.crt" and register it as "<name>_cert". A name that is not a plain file
  // name counts as a failed lookup. False (with an mlError mcSystem event) when the client's
  // objects cannot be made, or when there is no cache folder; otherwise true, also when no
  // certificate was found.
  bool Lookup(std::string_view rcpt);

  // "<workDirectory>/cache", or empty without a work directory.
  const std::string& CacheFolder() const { return cacheFolder_; }
  // The keys registered by Lookup, in the order set.
  const std::vector<std::string>& RegisteredKeys() const { return registeredKeys_; }

 private:
  void Raise(tagMsgLevel level, tagMsgClass mclass, int32_t code, const std::string& text);

  EventTarget* const events_;
  const tagMsgOrigin origin_;
  std::string cacheFolder_;
  std::vector<std::string> registeredKeys_;
};

// The content of a certificate file: "-----BEGIN CERTIFICATE-----", the base64 text in lines of
// 76 characters, "-----END CERTIFICATE-----", each line ending in LF.
std::string CertificateFileText(std::string_view base64);

// The certificate text without white space, or empty when it holds anything but base64
// characters or is longer than kMaxCertificateChars.
std::string CleanCertificateText(std::string_view text);

// True for a name that can stand as one file name: not empty, not "." or "..", no "/" and no
// NUL.
bool IsPlainFileName(std::string_view name);

}  // namespace qx
