// Certificates of identities and recipients: decoding from PEM text or DER, encoding, and the
// check that a certificate's key can receive an envelope.
#pragma once

#include <string>
#include <string_view>

#include "errors.h"
#include "ossl.h"

namespace asas {

// Largest certificate file that is read.
constexpr size_t kMaxCertificateBytes = 1024 * 1024;

// Decodes one certificate from PEM text (the first "CERTIFICATE" block; any line length, CR LF
// or LF) or from DER bytes. Empty when `data` is neither.
X509Ptr ParseCertificate(std::string_view data);

// The same result as ParseCertificate, but the certificate may be shared with other callers: the
// last few certificates decoded here are kept by their exact bytes (up to 64 KiB each) for the
// life of the process, so that the certificates read afresh for every envelope are decoded once.
// The bytes are still read by the caller every time; only identical bytes give the kept object.
// Callers must not change the certificate. Thread-safe.
X509Ptr ParseSharedCertificate(std::string_view data);

std::string CertificateDer(X509* cert);
// PEM text with 64-character lines and LF line ends.
std::string CertificatePem(X509* cert);

// True when the certificate's public key is RSA or EC, the key types an envelope can be made for.
bool HasRecipientKeyType(X509* cert);

// One-line description for listings: subject, expiry ("notAfter=...") and key type.
std::string DescribeCertificate(X509* cert);

// Reads and decodes a certificate file (PEM or DER) through ParseSharedCertificate: the
// certificate must not be changed. kBadCertificate when it does not decode or has a key type that
// cannot receive envelopes.
HRESULT LoadCertificateFile(const std::string& path, X509Ptr* out);

}  // namespace asas
