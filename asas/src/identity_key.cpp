#include "identity_key.h"

#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include "file_io.h"

namespace asas {
namespace {

constexpr size_t kMaxKeyBytes = 256 * 1024;

// Refuses every pass phrase request instead of prompting on a terminal.
int NoPassphrase(char*, int, int, void*) {
  return -1;
}

bool AddExtension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

X509Ptr SelfSignedCertificate(std::string_view identity, EVP_PKEY* key, bool rsa) {
  X509Ptr cert(X509_new());
  if (!cert || X509_set_version(cert.get(), X509_VERSION_3) != 1) return nullptr;

  // A random positive 127-bit serial number.
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) return nullptr;
  serial[0] &= 0x7F;
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  bool ok = bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get())) != nullptr;
  BN_free(bn);
  if (!ok) return nullptr;

  X509_NAME* name = X509_get_subject_name(cert.get());
  if (X509_NAME_add_entry_by_NID(name, NID_commonName, MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(identity.data()),
                                 static_cast<int>(identity.size()), -1, 0) != 1 ||
      X509_set_issuer_name(cert.get(), name) != 1)
    return nullptr;
  if (!X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) ||
      !X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3L * 365 * 24 * 3600))
    return nullptr;
  if (X509_set_pubkey(cert.get(), key) != 1) return nullptr;
  if (!AddExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE") ||
      !AddExtension(cert.get(), NID_key_usage,
                    rsa ? "critical,digitalSignature,keyEncipherment"
                        : "critical,digitalSignature,keyAgreement") ||
      !AddExtension(cert.get(), NID_ext_key_usage, "emailProtection") ||
      !AddExtension(cert.get(), NID_subject_key_identifier, "hash"))
    return nullptr;
  if (X509_sign(cert.get(), key, EVP_sha256()) <= 0) return nullptr;
  return cert;
}

}  // namespace

HRESULT CreateIdentityKey(std::string_view identity, KeyType type, IdentityKeyPem* out) {
  bool rsa = type == KeyType::kRsa;
  PkeyPtr key(rsa ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{3072})
                  : EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  X509Ptr cert = key ? SelfSignedCertificate(identity, key.get(), rsa) : nullptr;
  BioPtr key_bio(BIO_new(BIO_s_mem()));
  BioPtr cert_bio(BIO_new(BIO_s_mem()));
  if (!cert || !key_bio || !cert_bio ||
      PEM_write_bio_PrivateKey(key_bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
          1 ||
      PEM_write_bio_X509(cert_bio.get(), cert.get()) != 1) {
    ERR_clear_error();
    return qx::E_FAIL;
  }
  out->key = MemoryBioText(key_bio.get());
  out->cert = MemoryBioText(cert_bio.get());
  return qx::S_OK;
}

PkeyPtr ParsePrivateKey(std::string_view pem) {
  if (pem.size() > kMaxKeyBytes) return nullptr;
  BioPtr bio = MemoryBioOver(pem);
  PkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr) : nullptr);
  ERR_clear_error();
  return key;
}

HRESULT LoadPrivateKeyFile(const std::string& path, PkeyPtr* out) {
  std::string pem;
  HRESULT hr = ReadFileBounded(path, kMaxKeyBytes, &pem);
  if (qx::Failed(hr)) return hr;
  PkeyPtr key = ParsePrivateKey(pem);
  OPENSSL_cleanse(pem.data(), pem.size());
  if (!key) return kKeyUnusable;
  *out = std::move(key);
  return qx::S_OK;
}

}  // namespace asas
