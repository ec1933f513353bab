#include "key_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include "certificate.h"
#include "file_io.h"
#include "text.h"

namespace asas {
namespace {
constexpr std::string_view kKeyPrefix = "keys/";
constexpr std::string_view kKeySuffix = ".key";
}  // namespace

std::string KeyReference(std::string_view identity) {
  return std::string(kKeyPrefix) + std::string(identity) + std::string(kKeySuffix);
}

std::string IdentityOfKeyReference(std::string_view reference) {
  if (reference.size() <= kKeyPrefix.size() + kKeySuffix.size() ||
      reference.substr(0, kKeyPrefix.size()) != kKeyPrefix ||
      reference.substr(reference.size() - kKeySuffix.size()) != kKeySuffix)
    return {};
  std::string identity(reference.substr(kKeyPrefix.size(),
                                        reference.size() - kKeyPrefix.size() - kKeySuffix.size()));
  return IsValidName(identity) ? identity : std::string();
}

bool IdentityExists(const Home& home, const std::string& identity) {
  struct stat st;
  return IsValidName(identity) && stat(home.KeyPath(identity).c_str(), &st) == 0;
}

HRESULT CreateIdentity(const Home& home, const std::string& identity, KeyType type) {
  if (!IsValidName(identity) || identity.find("_key") != std::string::npos) return qx::E_INVALIDARG;
  if (IdentityExists(home, identity)) return kExists;
  HRESULT hr = MakeDirectories(home.KeysDir(), 0700);
  if (qx::Failed(hr)) return hr;
  IdentityKeyPem pem;
  hr = CreateIdentityKey(identity, type, &pem);
  if (qx::Failed(hr)) return hr;
  // The certificate first: a key file without its certificate would look like a complete
  // identity to IdentityExists.
  hr = WriteFileAtomic(home.IdentityCertPath(identity), pem.cert, 0600);
  if (qx::Succeeded(hr)) hr = WriteFileAtomic(home.KeyPath(identity), pem.key, 0600);
  OPENSSL_cleanse(pem.key.data(), pem.key.size());
  if (qx::Failed(hr)) unlink(home.IdentityCertPath(identity).c_str());
  return hr;
}

HRESULT LoadIdentity(const Home& home, const std::string& identity, PkeyPtr* key, X509Ptr* cert) {
  if (!IsValidName(identity)) return kKeyUnusable;
  PkeyPtr k;
  X509Ptr c;
  if (qx::Failed(LoadPrivateKeyFile(home.KeyPath(identity), &k)) ||
      qx::Failed(LoadCertificateFile(home.IdentityCertPath(identity), &c)) ||
      X509_check_private_key(c.get(), k.get()) != 1) {
    ERR_clear_error();
    return kKeyUnusable;
  }
  if (key) *key = std::move(k);
  if (cert) *cert = std::move(c);
  return qx::S_OK;
}

}  // namespace asas
