// Owning handles for OpenSSL objects, so that every path releases what it allocated.
#pragma once

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <string_view>

namespace asas {

struct BioFree {
  void operator()(BIO* p) const { BIO_free_all(p); }
};
struct X509Free {
  void operator()(X509* p) const { X509_free(p); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct CmsFree {
  void operator()(CMS_ContentInfo* p) const { CMS_ContentInfo_free(p); }
};
struct X509StackFree {
  // Frees the stack only; the certificates in it are owned elsewhere.
  void operator()(STACK_OF(X509) * p) const { sk_X509_free(p); }
};

using BioPtr = std::unique_ptr<BIO, BioFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, CmsFree>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackFree>;

// A read-only memory BIO over `data` (which must outlive it).
inline BioPtr MemoryBioOver(std::string_view data) {
  return BioPtr(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
}

// The contents of a memory BIO.
inline std::string MemoryBioText(BIO* bio) {
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  return size > 0 && data ? std::string(data, static_cast<size_t>(size)) : std::string();
}

// The oldest queued OpenSSL error as text (empty when none); clears this thread's queue.
inline std::string TakeOpenSslError() {
  unsigned long code = ERR_get_error();
  std::string text;
  if (code) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    text = buffer;
  }
  ERR_clear_error();
  return text;
}

}  // namespace asas
