// The key store in <home>/keys: one private key and one self-signed certificate per identity,
// both PEM, both mode 0600. A login names its identity; the configuration section "smime", key
// "key" maps "<identity>_key" to the key reference "keys/<identity>.key".
#pragma once

#include <string>
#include <string_view>

#include "errors.h"
#include "home.h"
#include "identity_key.h"
#include "ossl.h"

namespace asas {

// The key reference of an identity as stored in the configuration.
std::string KeyReference(std::string_view identity);
// The identity of a key reference; empty when `reference` is not one made by KeyReference.
std::string IdentityOfKeyReference(std::string_view reference);

bool IdentityExists(const Home& home, const std::string& identity);

// Makes the key and certificate of a new identity. kExists when the identity has a key already;
// E_INVALIDARG for a name that is not valid (text.h) or contains "_key".
// The caller holds the home's lock.
HRESULT CreateIdentity(const Home& home, const std::string& identity, KeyType type);

// Loads the key and certificate of an identity and checks that they belong together
// (kKeyUnusable when not, or when either cannot be read).
HRESULT LoadIdentity(const Home& home, const std::string& identity, PkeyPtr* key, X509Ptr* cert);

}  // namespace asas
