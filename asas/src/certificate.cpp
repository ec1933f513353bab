#include "certificate.h"

#include <openssl/pem.h>

#include <array>
#include <mutex>

#include "base64.h"
#include "file_io.h"

namespace asas {
namespace {

constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view kEnd = "-----END CERTIFICATE-----";

X509Ptr DecodeDer(std::string_view der) {
  if (der.empty() || der.size() > kMaxCertificateBytes) return nullptr;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  // Trailing bytes after the certificate mean the input was something else.
  if (cert && p != reinterpret_cast<const unsigned char*>(der.data()) + der.size()) cert.reset();
  ERR_clear_error();
  return cert;
}

// The certificates decoded last, by their bytes. Decoding a certificate (and preparing its key
// for the providers on its first use) costs far more than the envelope made with it.
class SharedCertificates {
 public:
  static constexpr size_t kMaxBytes = 64 * 1024;

  X509Ptr Find(std::string_view data) {
    std::lock_guard lock(mutex_);
    for (const Entry& entry : entries_) {
      if (entry.cert && entry.bytes == data && X509_up_ref(entry.cert.get()) == 1)
        return X509Ptr(entry.cert.get());
    }
    return nullptr;
  }

  void Keep(std::string_view data, X509* cert) {
    if (X509_up_ref(cert) != 1) return;
    X509Ptr shared(cert);
    std::lock_guard lock(mutex_);
    Entry& entry = entries_[next_];
    next_ = (next_ + 1) % entries_.size();
    entry.bytes.assign(data);
    entry.cert = std::move(shared);
  }

 private:
  struct Entry {
    std::string bytes;
    X509Ptr cert;
  };
  std::mutex mutex_;
  std::array<Entry, 8> entries_;
  size_t next_ = 0;  // the entry replaced next (the oldest)
};

// Never destroyed: certificates freed after OpenSSL's own cleanup at exit would crash.
SharedCertificates& Shared() {
  static SharedCertificates* shared = new SharedCertificates;
  return *shared;
}

}  // namespace

X509Ptr ParseSharedCertificate(std::string_view data) {
  if (data.size() > SharedCertificates::kMaxBytes) return ParseCertificate(data);
  X509Ptr cert = Shared().Find(data);
  if (cert) return cert;
  cert = ParseCertificate(data);
  if (cert) Shared().Keep(data, cert.get());
  return cert;
}

X509Ptr ParseCertificate(std::string_view data) {
  size_t begin = data.find(kBegin);
  if (begin == std::string_view::npos) return DecodeDer(data);
  size_t body = begin + kBegin.size();
  size_t end = data.find(kEnd, body);
  if (end == std::string_view::npos) return nullptr;
  auto der = Base64Decode(data.substr(body, end - body));
  if (!der) return nullptr;
  return DecodeDer(*der);
}

std::string CertificateDer(X509* cert) {
  unsigned char* der = nullptr;
  int length = i2d_X509(cert, &der);
  if (length <= 0) return {};
  std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(length));
  OPENSSL_free(der);
  return out;
}

std::string CertificatePem(X509* cert) {
  std::string der = CertificateDer(cert);
  if (der.empty()) return {};
  return std::string(kBegin) + "\n" + Base64Encode(der, 64) + std::string(kEnd) + "\n";
}

bool HasRecipientKeyType(X509* cert) {
  EVP_PKEY* key = X509_get0_pubkey(cert);
  bool ok = key && (EVP_PKEY_is_a(key, "RSA") || EVP_PKEY_is_a(key, "EC"));
  ERR_clear_error();
  return ok;
}

std::string DescribeCertificate(X509* cert) {
  std::string text;
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio) return text;
  X509_NAME_print_ex(bio.get(), X509_get_subject_name(cert), 0,
                     XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
  BIO_puts(bio.get(), ", notAfter=");
  ASN1_TIME_print(bio.get(), X509_get0_notAfter(cert));
  EVP_PKEY* key = X509_get0_pubkey(cert);
  if (key) {
    BIO_printf(bio.get(), ", %s %d bits",
               EVP_PKEY_is_a(key, "RSA")  ? "RSA"
               : EVP_PKEY_is_a(key, "EC") ? "EC"
                                          : "other",
               EVP_PKEY_get_bits(key));
  }
  text = MemoryBioText(bio.get());
  ERR_clear_error();
  return text;
}

HRESULT LoadCertificateFile(const std::string& path, X509Ptr* out) {
  std::string data;
  HRESULT hr = ReadFileBounded(path, kMaxCertificateBytes, &data);
  if (qx::Failed(hr)) return hr;
  X509Ptr cert = ParseSharedCertificate(data);
  if (!cert || !HasRecipientKeyType(cert.get())) return kBadCertificate;
  *out = std::move(cert);
  return qx::S_OK;
}

}  // namespace asas
