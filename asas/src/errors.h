// Result codes of the security client. Failures that come from the file system carry the errno
// value as a facility-7 HRESULT (HresultFromWin32), so that callers can show strerror's text;
// certificate failures use the familiar cryptography codes.
#pragma once

#include <cerrno>

#include "qendix/com.h"

namespace asas {

using qx::HRESULT;

// The HRESULT for an errno value (0 gives E_FAIL, never a success).
inline HRESULT HresultFromErrno(int error) {
  return error == 0 ? qx::E_FAIL : qx::HresultFromWin32(static_cast<uint32_t>(error));
}

// No certificate for a recipient or a looked-up name (CRYPT_E_NOT_FOUND).
constexpr HRESULT kCertNotFound = static_cast<HRESULT>(0x80092004);
// A certificate or key that cannot be decoded or has an unsupported key type
// (CRYPT_E_BAD_ENCODE).
constexpr HRESULT kBadCertificate = static_cast<HRESULT>(0x80092002);
// The message file is malformed: no empty line after the header, a header line too long or not
// "Name: value", too many header lines, a control byte, a duplicate "To" line, an invalid
// recipient name or too many recipients.
const HRESULT kBadMessage = qx::HresultFromWin32(EBADMSG);
// The message file has no "To" line or names no recipient.
const HRESULT kNoRecipients = qx::HresultFromWin32(EDESTADDRREQ);
// The message file (or another bounded input) is larger than allowed.
const HRESULT kTooLarge = qx::HresultFromWin32(EFBIG);
// A login's key or certificate is missing, unreadable or does not match.
const HRESULT kKeyUnusable = qx::HresultFromWin32(ENOKEY);
// The configuration or state file cannot be parsed; it is left untouched.
const HRESULT kStoreCorrupt = qx::HresultFromWin32(EUCLEAN);
// A login, key or configuration value that does not exist.
const HRESULT kNotFound = qx::HresultFromWin32(ENOENT);
// A login or identity that already exists.
const HRESULT kExists = qx::HresultFromWin32(EEXIST);

}  // namespace asas
