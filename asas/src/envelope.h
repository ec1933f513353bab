// CMS enveloped data: the content encrypted with AES-256-CBC under a fresh key, and that key
// encrypted for each recipient (RSA key transport, or ECDH key agreement for EC keys). The
// content is taken as binary, so opening the envelope gives back exactly the same bytes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "errors.h"
#include "ossl.h"

namespace asas {

// Envelopes `content` for `recipients` (at least one) and returns the DER of the CMS structure.
HRESULT EnvelopeContent(std::string_view content, const std::vector<X509*>& recipients,
                        std::string* der);

// Opens the envelope `der` with `key`. `cert` (may be null) selects the recipient entry; without
// it every entry is tried. kBadMessage when `der` is not an enveloped-data structure,
// kKeyUnusable when the key opens none of its entries.
HRESULT OpenEnvelope(std::string_view der, EVP_PKEY* key, X509* cert, std::string* content);

}  // namespace asas
