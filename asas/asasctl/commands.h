// The commands of asasctl. Each works on the home given, prints its result on stdout and its
// failures on stderr, and returns the process exit code (0 success, 1 failure).
#pragma once

#include <optional>
#include <string>

#include "home.h"
#include "identity_key.h"

namespace asas::ctl {

int Init(const Home& home);
int LoginAdd(const Home& home, const std::string& login, const std::string& identity, KeyType type);
int LoginList(const Home& home);
int CertImport(const Home& home, const std::string& name, const std::string& file);
int CertList(const Home& home);
int Start(const Home& home, const std::string& login);
int Stop(const Home& home);
int Status(const Home& home);

// Envelopes `in`. With recipients, `in` is the body and the message gets "From" (when given) and
// "To" lines; without, `in` must be a message file with its own header. The envelope goes to
// `out`.
int Encrypt(const Home& home, const std::optional<std::string>& from,
            const std::optional<std::string>& to, const std::string& in, const std::string& out);

// Opens the saved envelope `in` with the private key file `key` (and the certificate file `cert`
// to pick the recipient entry, when given) and writes the body to `out`, or to stdout for "-".
int Decrypt(const std::string& key, const std::optional<std::string>& cert, const std::string& in,
            const std::string& out);

// A text for an HRESULT, for messages.
std::string DescribeResult(HRESULT hr);

}  // namespace asas::ctl
