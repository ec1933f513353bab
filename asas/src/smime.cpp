// "ASAS.SMIME": loads a message file, envelopes its body for the recipients of its "To" line and
// saves the envelope; finds stored certificates.
#include <openssl/crypto.h>
#include <sys/stat.h>

#include <cerrno>
#include <map>
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

// What stat tells of a file: enough to see that it was not replaced or changed since.
struct FileState {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  int64_t modifiedNs = 0;
  int64_t changedNs = 0;
  friend bool operator==(const FileState&, const FileState&) = default;
};

// The state of `path`; false when it cannot be told (a failure other than a missing file).
bool StatFile(const std::string& path, FileState* state) {
  *state = FileState{};
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return errno == ENOENT;
  state->exists = true;
  state->device = st.st_dev;
  state->inode = st.st_ino;
  state->size = st.st_size;
  state->modifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  state->changedNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return true;
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
      qx::HRESULT hr = LoadMessageFile(*fileName, &message_);
      loaded_ = qx::Succeeded(hr);
      return hr;
    });
  }

  // The message text is parsed in place: the only copy of the plain body made here is the
  // loaded message's own, in the storage of the message before.
  qx::HRESULT SmimeLoadText(const qx::BStr& text) override {
    if (!text) return qx::E_INVALIDARG;
    return Guarded([&] {
      std::lock_guard lock(mutex_);
      Forget();
      if (text->size() > kMaxMessageBytes) return kTooLarge;
      qx::HRESULT hr = ParseMessage(*text, &message_);
      loaded_ = qx::Succeeded(hr);
      return hr;
    });
  }

  // The text is written into the storage *envelope already has, if any.
  qx::HRESULT SmimeSaveText(qx::BStr* envelope) override {
    if (!envelope) return qx::E_POINTER;
    return Guarded([&] {
      std::lock_guard lock(mutex_);
      if (!loaded_ || envelope_.empty()) {
        *envelope = std::nullopt;
        return qx::E_UNEXPECTED;
      }
      if (!*envelope) envelope->emplace();
      FormatEnvelopeFileTo(message_, envelope_, &**envelope);
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
        if (!loaded_) return qx::E_UNEXPECTED;
        envelope_.clear();
        hr = Envelope(&warnings);
        if (qx::Succeeded(hr)) {
          done = "Message enveloped for";
          for (const auto& name : message_.recipients) done += " " + name;
          done += " (" + std::to_string(message_.body.size()) + " bytes)";
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
      if (!loaded_ || envelope_.empty()) return qx::E_UNEXPECTED;
      // The message file is an exchange file, read back and deleted at once: it needs to be
      // whole for its reader, not to outlive a crash, so it is not synced.
      return WriteFileAtomic(*fileName, FormatEnvelopeFile(message_, envelope_), 0600,
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
  // The configuration as of now: the one read before while the file is unchanged (by stat), else
  // read again, which also forgets the certificates found with the earlier one. Called with
  // mutex_ held; `*local` holds a configuration that could not be kept.
  qx::HRESULT CurrentConfig(Config* local, const Config** config) {
    FileState state;
    const bool known = StatFile(home_.ConfigPath(), &state);
    if (known && config_ && configState_ == state) {
      *config = &*config_;
      return qx::S_OK;
    }
    config_.reset();
    certs_.clear();
    qx::HRESULT hr = LoadConfig(home_, local);
    if (qx::Failed(hr)) return hr;
    *config = local;
    if (known) {
      // The state taken before the read: a change after it shows as a different state.
      configState_ = state;
      config_ = std::move(*local);
      *config = &*config_;
    }
    return qx::S_OK;
  }

  // The certificate of recipient `name`: the one found before while the configuration and the
  // files it may come from are unchanged (by stat), else found again
  // (ResolveRecipientCertificate). A configured value that is neither a PEM text nor a path that
  // stat can answer for (base64 text) is decoded every time. Called with mutex_ held.
  qx::HRESULT RecipientCertificate(const Config& config, const std::string& name, X509Ptr* out,
                                   std::string* problem) {
    // The files it may come from: a file the configuration names, the store's, the identity's.
    FileState configured, stored, identity;
    const ConfigKey* key = config.FindKey("smime", name + "_cert");
    const std::string value(key && !key->is_list ? TrimBlanks(key->value) : std::string_view());
    const bool known =
        IsValidName(name) && value.find('\0') == std::string::npos &&
        (value.empty() || value.starts_with("-----BEGIN") || StatFile(value, &configured)) &&
        StatFile(home_.CertPath(name), &stored) &&
        StatFile(home_.IdentityCertPath(name), &identity);
    if (known) {
      auto it = certs_.find(name);
      if (it != certs_.end() && it->second.configured == configured &&
          it->second.stored == stored && it->second.identity == identity &&
          X509_up_ref(it->second.cert.get()) == 1) {
        out->reset(it->second.cert.get());
        *problem = it->second.problem;
        return qx::S_OK;
      }
    }
    certs_.erase(name);
    qx::HRESULT hr = ResolveRecipientCertificate(home_, config, name, out, problem);
    if (qx::Succeeded(hr) && known && X509_up_ref(out->get()) == 1)
      certs_[name] = KnownCertificate{configured, stored, identity, X509Ptr(out->get()), *problem};
    return hr;
  }

  // Makes envelope_ from message_. Called with mutex_ held; collects status texts in `warnings`.
  qx::HRESULT Envelope(std::vector<std::string>* warnings) {
    Config local;
    const Config* config = nullptr;
    qx::HRESULT hr = CurrentConfig(&local, &config);
    if (qx::Failed(hr)) return hr;
    std::vector<X509Ptr> certs;
    qx::HRESULT missing = qx::S_OK;
    for (const auto& name : message_.recipients) {
      X509Ptr cert;
      std::string problem;
      hr = RecipientCertificate(*config, name, &cert, &problem);
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
    return EnvelopeContent(message_.body, recipients, &envelope_);
  }

  // Drops the loaded message, wiping its plain body; the storage stays for the next message.
  void Forget() {
    OPENSSL_cleanse(message_.body.data(), message_.body.size());
    message_.body.clear();
    loaded_ = false;
    envelope_.clear();
  }

  // A recipient's certificate with the state of the two files it may come from.
  struct KnownCertificate {
    FileState configured;
    FileState stored;
    FileState identity;
    X509Ptr cert;
    std::string problem;
  };

  const Home home_;
  std::mutex mutex_;
  // The configuration last read and the state of its file then; the certificates found with it.
  // A session's envelopes then read neither again while their files stay as they are.
  std::optional<Config> config_;
  FileState configState_;
  std::map<std::string, KnownCertificate> certs_;
  // The loaded message (when loaded_) and the DER of its last envelope. Their storage is kept from
  // one message to the next, so that a session's envelopes do not each map fresh memory; the
  // plain body is wiped when the message is dropped.
  Message message_;
  bool loaded_ = false;
  std::string envelope_;
};

}  // namespace

qx::RefPtr<qx::IAsasSmime> MakeSmime(const Home& home) {
  return qx::RefPtr<qx::IAsasSmime>::Adopt(new Smime(home));
}

}  // namespace asas
