// Fuzzes the security client's stores with arbitrary file contents, each input read as every one
// of them: the configuration, the running state, a certificate (PEM or DER) and a private key.
// Checks: a configuration or state that reads is written back as text that reads as the same
// store and is written again byte for byte; a certificate that decodes encodes to DER and PEM that
// decode to the same certificate, and the shared decoding gives that certificate too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "certificate.h"
#include "config_store.h"
#include "identity_key.h"
#include "run_state.h"

namespace {

void CheckConfig(std::string_view text) {
  asas::Config config;
  if (qx::Failed(asas::ParseConfig(text, &config))) return;
  const std::string written = asas::SerializeConfig(config);
  asas::Config again;
  if (qx::Failed(asas::ParseConfig(written, &again)) || asas::SerializeConfig(again) != written)
    abort();
  for (const asas::LoginRecord& login : config.logins) {
    const asas::LoginRecord* found = again.FindLogin(login.name);
    if (!found || found->entries != login.entries) abort();
  }
  for (const asas::ConfigSection& section : config.sections) {
    for (const asas::ConfigKey& key : section.keys) {
      const asas::ConfigKey* found = again.FindKey(section.name, key.name);
      if (!found || found->is_list != key.is_list || found->value != key.value ||
          found->entries != key.entries)
        abort();
    }
  }
}

void CheckState(std::string_view text) {
  asas::RunState state;
  if (qx::Failed(asas::ParseRunState(text, &state))) return;
  const std::string written = asas::SerializeRunState(state);
  asas::RunState again;
  if (qx::Failed(asas::ParseRunState(written, &again)) || again.current() != state.current() ||
      again.is_running() != state.is_running() || asas::SerializeRunState(again) != written)
    abort();
}

void CheckCertificate(std::string_view data) {
  asas::X509Ptr cert = asas::ParseCertificate(data);
  asas::X509Ptr shared = asas::ParseSharedCertificate(data);
  if (!cert) {
    if (shared) abort();
    return;
  }
  const std::string der = asas::CertificateDer(cert.get());
  if (der.empty() || !shared || asas::CertificateDer(shared.get()) != der) abort();
  asas::X509Ptr fromDer = asas::ParseCertificate(der);
  asas::X509Ptr fromPem = asas::ParseCertificate(asas::CertificatePem(cert.get()));
  if (!fromDer || !fromPem || asas::CertificateDer(fromDer.get()) != der ||
      asas::CertificateDer(fromPem.get()) != der)
    abort();
  asas::HasRecipientKeyType(cert.get());
  asas::DescribeCertificate(cert.get());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CheckConfig(bytes);
  CheckState(bytes);
  CheckCertificate(bytes);
  asas::ParsePrivateKey(bytes);
  return 0;
}
