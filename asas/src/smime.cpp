// "ASAS.SMIME": loads a message file, envelopes its body for the recipients of its "To" line and
// saves the envelope; finds stored certificates.
#include <openssl/crypto.h>

#include <mutex>
#include <optional>

#include "base64.h"
#include "cert_store.h"
#include "certificate.h"
#include "com_object.h"
#include "envelope.h"
#include "file_io.h"
#include "message_file.h"
#include "objects.h"
#include "status_bus.h"
#include "text.h"

namespace asas {
namespace {

bool IsUsablePath(const qx::BStr& path) {
  return path && !path->empty() && path->size() < 4096 && path->find('\0') == std::string::npos;
}

class Smime final : public ComObject<qx::IAsasSmime, qx::IAsasSmimeMemory> {
 public:
  explicit Smime(Home home) : home_(std::move(home)) {}
  ~Smime() override { Forget(); }

  qx::HRESULT SmimeLoad(const qx::BStr& fileName) override {
    if (!IsUsablePath(fileName)) return qx::E_INVALIDARG;
    return Guarded([&] {
      std::lock_guard lock(mutex_);
      Forget();  // a failed load never leaves an earlier message to be enveloped
      Message message;
      qx::HRESULT hr = LoadMessageFile(*fileName, &message);
      if (qx::Succeeded(hr)) message_ = std::move(message);
      return hr;
    });
  }

  // The message text is parsed in place: the only copy of the plain body made here is the
  // loaded message's own.
  qx::HRESULT SmimeLoadText(const qx::BStr& text) override {
    if (!text) return qx::E_INVALIDARG;
    return Guarded([&] {
      std::lock_guard lock(mutex_);
      Forget();
      if (text->size() > kMaxMessageBytes) return kTooLarge;
      Message message;
      qx::HRESULT hr = ParseMessage(*text, &message);
      if (qx::Succeeded(hr)) message_ = std::move(message);
      return hr;
    });
  }

  qx::HRESULT SmimeSaveText(qx::BStr* envelope) override {
    if (!envelope) return qx::E_POINTER;
    *envelope = std::nullopt;
    return Guarded([&] {
      std::lock_guard lock(mutex_);
      if (!message_ || envelope_.empty()) return qx::E_UNEXPECTED;
      *envelope = FormatEnvelopeFile(*message_, envelope_);
      return qx::S_OK;
    });
  }

  qx::HRESULT SmimeEncrypt() override {
    return Guarded([&]() -> qx::HRESULT {
      std::vector<std::string> warnings;
      std::string done;
      qx::HRESULT hr;
      {
        std::lock_guard lock(mutex_);
        if (!message_) return qx::E_UNEXPECTED;
        envelope_.clear();
        hr = Envelope(&warnings);
        if (qx::Succeeded(hr)) {
          done = "Message enveloped for";
          for (const auto& name : message_->recipients) done += " " + name;
          done += " (" + std::to_string(message_->body.size()) + " bytes)";
        }
      }
      for (const auto& w : warnings) RaiseStatus(kStatusWarning, w);
      if (!done.empty()) RaiseStatus(kStatusInfo, done);
      return hr;
    });
  }

  qx::HRESULT SmimeSave(const qx::BStr& fileName) override {
    if (!IsUsablePath(fileName)) return qx::E_INVALIDARG;
    return Guarded([&] {
      std::lock_guard lock(mutex_);
      if (!message_ || envelope_.empty()) return qx::E_UNEXPECTED;
      // The message file is an exchange file, read back and deleted at once: it needs to be
      // whole for its reader, not to outlive a crash, so it is not synced.
      return WriteFileAtomic(*fileName, FormatEnvelopeFile(*message_, envelope_), 0600,
                             Durability::kUnsynced);
    });
  }

  qx::HRESULT SmimeFindCertificate(const qx::BStr& name, qx::BStr* certificate) override {
    if (!certificate) return qx::E_POINTER;
    *certificate = std::nullopt;
    if (!name || name->size() > 1024) return qx::E_INVALIDARG;
    return Guarded([&] {
      // Names never contain blanks, so blanks around a name (as in "tc1, tc2") are dropped.
      std::string trimmed(TrimBlanks(*name));
      X509Ptr cert;
      qx::HRESULT hr = FindStoredCertificate(home_, trimmed, &cert);
      if (qx::Failed(hr)) return hr;
      std::string der = CertificateDer(cert.get());
      if (der.empty()) return kBadCertificate;
      *certificate = Base64Encode(der);
      return qx::S_OK;
    });
  }

 private:
  // Makes envelope_ from message_. Called with mutex_ held; collects status texts in `warnings`.
  qx::HRESULT Envelope(std::vector<std::string>* warnings) {
    Config config;
    qx::HRESULT hr = LoadConfig(home_, &config);
    if (qx::Failed(hr)) return hr;
    std::vector<X509Ptr> certs;
    qx::HRESULT missing = qx::S_OK;
    for (const auto& name : message_->recipients) {
      X509Ptr cert;
      std::string problem;
      hr = ResolveRecipientCertificate(home_, config, name, &cert, &problem);
      if (!problem.empty()) warnings->push_back(problem);
      if (qx::Failed(hr)) {
        warnings->push_back("Certificate missing for recipient " + name);
        if (qx::Succeeded(missing)) missing = hr == kBadCertificate ? hr : kCertNotFound;
        continue;
      }
      certs.push_back(std::move(cert));
    }
    if (qx::Failed(missing)) return missing;
    std::vector<X509*> recipients;
    for (const auto& c : certs) recipients.push_back(c.get());
    return EnvelopeContent(message_->body, recipients, &envelope_);
  }

  // Drops the loaded message, wiping its plain body.
  void Forget() {
    if (message_) OPENSSL_cleanse(message_->body.data(), message_->body.size());
    message_.reset();
    envelope_.clear();
  }

  const Home home_;
  std::mutex mutex_;
  std::optional<Message> message_;
  std::string envelope_;  // DER of the last envelope of message_
};

}  // namespace

qx::RefPtr<qx::IAsasSmime> MakeSmime(const Home& home) {
  return qx::RefPtr<qx::IAsasSmime>::Adopt(new Smime(home));
}

}  // namespace asas
