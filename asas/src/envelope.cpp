#include "envelope.h"

#include <openssl/buffer.h>

namespace asas {

namespace {

// A memory BIO whose buffer already holds `capacity` bytes, so that the encrypted content is
// written into it without regrowing it (each regrowth copies the content and wipes the old
// buffer). When the envelope is finished the CMS structure takes the buffer over.
BioPtr ContentSink(size_t capacity) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  BUF_MEM* buffer = BUF_MEM_new();
  char* data = buffer ? static_cast<char*>(OPENSSL_malloc(capacity)) : nullptr;
  if (!bio || !data) {
    OPENSSL_free(data);
    BUF_MEM_free(buffer);
    return nullptr;
  }
  buffer->data = data;
  buffer->max = capacity;
  buffer->length = 0;
  BIO_set_mem_buf(bio.get(), buffer, BIO_CLOSE);
  return bio;
}

}  // namespace

HRESULT EnvelopeContent(std::string_view content, const std::vector<X509*>& recipients,
                        std::string* der) {
  if (recipients.empty()) return kNoRecipients;
  X509StackPtr stack(sk_X509_new_null());
  if (!stack) return qx::E_OUTOFMEMORY;
  for (X509* cert : recipients)
    if (!sk_X509_push(stack.get(), cert)) return qx::E_OUTOFMEMORY;
  BioPtr in = MemoryBioOver(content);
  // The content padded to whole cipher blocks: at most one block more.
  BioPtr sink = ContentSink(content.size() + 2 * EVP_MAX_BLOCK_LENGTH);
  if (!in || !sink) return qx::E_OUTOFMEMORY;
  // The recipients are set up first (CMS_PARTIAL), then the content is encrypted into the sink.
  CmsPtr cms(CMS_encrypt(stack.get(), nullptr, EVP_aes_256_cbc(), CMS_BINARY | CMS_PARTIAL));
  if (!cms || CMS_final(cms.get(), in.get(), sink.get(), CMS_BINARY) != 1) {
    ERR_clear_error();
    return qx::E_FAIL;
  }
  // The DER is written straight into a buffer of its size, not grown piece by piece; the
  // caller's buffer is reused when it is large enough.
  const int length = i2d_CMS_ContentInfo(cms.get(), nullptr);
  if (length <= 0) {
    ERR_clear_error();
    return qx::E_FAIL;
  }
  der->resize(static_cast<size_t>(length));
  auto* p = reinterpret_cast<unsigned char*>(der->data());
  if (i2d_CMS_ContentInfo(cms.get(), &p) != length) {
    ERR_clear_error();
    der->clear();
    return qx::E_FAIL;
  }
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
