#include "envelope.h"

namespace asas {

HRESULT EnvelopeContent(std::string_view content, const std::vector<X509*>& recipients,
                        std::string* der) {
  if (recipients.empty()) return kNoRecipients;
  X509StackPtr stack(sk_X509_new_null());
  if (!stack) return qx::E_OUTOFMEMORY;
  for (X509* cert : recipients)
    if (!sk_X509_push(stack.get(), cert)) return qx::E_OUTOFMEMORY;
  BioPtr in = MemoryBioOver(content);
  if (!in) return qx::E_OUTOFMEMORY;
  CmsPtr cms(CMS_encrypt(stack.get(), in.get(), EVP_aes_256_cbc(), CMS_BINARY));
  // The DER is written straight into a buffer of its size, not grown piece by piece.
  const int length = cms ? i2d_CMS_ContentInfo(cms.get(), nullptr) : 0;
  if (length <= 0) {
    ERR_clear_error();
    return qx::E_FAIL;
  }
  std::string encoded(static_cast<size_t>(length), '\0');
  auto* p = reinterpret_cast<unsigned char*>(encoded.data());
  if (i2d_CMS_ContentInfo(cms.get(), &p) != length) {
    ERR_clear_error();
    return qx::E_FAIL;
  }
  *der = std::move(encoded);
  return qx::S_OK;
}

HRESULT OpenEnvelope(std::string_view der, EVP_PKEY* key, X509* cert, std::string* content) {
  BioPtr in = MemoryBioOver(der);
  BioPtr out(BIO_new(BIO_s_mem()));
  if (!in || !out) return qx::E_OUTOFMEMORY;
  CmsPtr cms(d2i_CMS_bio(in.get(), nullptr));
  if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_enveloped) {
    ERR_clear_error();
    return kBadMessage;
  }
  if (CMS_decrypt(cms.get(), key, cert, nullptr, out.get(), CMS_BINARY) != 1) {
    ERR_clear_error();
    return kKeyUnusable;
  }
  *content = MemoryBioText(out.get());
  return qx::S_OK;
}

}  // namespace asas
