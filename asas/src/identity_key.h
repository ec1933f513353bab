// Keys of the practice's identities: a new private key with a self-signed certificate, and the
// PEM text of both as the key store keeps them.
#pragma once

#include <string>
#include <string_view>

#include "errors.h"
#include "ossl.h"

namespace asas {

enum class KeyType { kRsa, kEc };  // RSA 3072 bits, or EC on P-256

struct IdentityKeyPem {
  std::string key;   // PKCS#8 private key, unencrypted
  std::string cert;  // self-signed X.509 v3 certificate
};

// Makes a key of `type` and a certificate with the common name `identity`, valid for three years
// from an hour ago, for S/MIME (key usage for encipherment or key agreement, e-mail protection).
HRESULT CreateIdentityKey(std::string_view identity, KeyType type, IdentityKeyPem* out);

// Decodes an unencrypted private key from PEM (PKCS#8 or traditional) text. An encrypted key is
// refused; nothing ever prompts for a pass phrase. Empty on failure.
PkeyPtr ParsePrivateKey(std::string_view pem);

// Reads and decodes a private key file. kKeyUnusable when it does not decode.
HRESULT LoadPrivateKeyFile(const std::string& path, PkeyPtr* out);

}  // namespace asas
