// The certificate store in <home>/certs: Trust Center certificates by recipient name, one PEM
// file "<name>.crt" each; and the lookup of a recipient's certificate for an envelope.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config_store.h"
#include "errors.h"
#include "home.h"
#include "ossl.h"

namespace asas {

// Stores the certificate `data` (PEM or DER) under `name`, replacing one of that name.
// E_INVALIDARG for an invalid name (text.h); kBadCertificate when `data` is not a certificate
// with an RSA or EC key.
HRESULT ImportCertificate(const Home& home, const std::string& name, std::string_view data);

struct StoredCertificate {
  std::string name;
  X509Ptr cert;  // empty when the file does not decode
};
// The store's certificates, sorted by name; a missing store is empty.
HRESULT ListCertificates(const Home& home, std::vector<StoredCertificate>* out);

// The certificate stored for `name`: the certificate store first, then the certificate of an
// identity of that name in the key store. kCertNotFound when neither has one.
HRESULT FindStoredCertificate(const Home& home, const std::string& name, X509Ptr* out);

// The certificate of an envelope's recipient `name`: the configuration value "<name>_cert" of
// section "smime" when set (PEM text, a certificate file's path, or base64 DER), else
// FindStoredCertificate. A configured value that gives no usable certificate is described in
// `problem` and the stores are used instead.
HRESULT ResolveRecipientCertificate(const Home& home, const Config& config, const std::string& name,
                                    X509Ptr* out, std::string* problem);

}  // namespace asas
