#include "cert_store.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>

#include "base64.h"
#include "certificate.h"
#include "file_io.h"
#include "text.h"

namespace asas {
namespace {

struct DirClose {
  void operator()(DIR* d) const { closedir(d); }
};

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Decodes a "<name>_cert" configuration value.
X509Ptr CertificateFromConfigValue(std::string_view value) {
  value = TrimBlanks(value);
  if (value.empty()) return nullptr;
  if (value.substr(0, 10) == "-----BEGIN") return ParseSharedCertificate(value);
  std::string path(value);
  if (path.find('\0') == std::string::npos && IsRegularFile(path)) {
    X509Ptr cert;
    return qx::Succeeded(LoadCertificateFile(path, &cert)) ? std::move(cert) : nullptr;
  }
  auto der = Base64Decode(value);
  return der ? ParseSharedCertificate(*der) : nullptr;
}

}  // namespace

HRESULT ImportCertificate(const Home& home, const std::string& name, std::string_view data) {
  if (!IsValidName(name)) return qx::E_INVALIDARG;
  if (data.size() > kMaxCertificateBytes) return kTooLarge;
  X509Ptr cert = ParseCertificate(data);
  if (!cert || !HasRecipientKeyType(cert.get())) return kBadCertificate;
  HRESULT hr = MakeDirectories(home.CertsDir(), 0700);
  if (qx::Failed(hr)) return hr;
  return WriteFileAtomic(home.CertPath(name), CertificatePem(cert.get()), 0644);
}

HRESULT ListCertificates(const Home& home, std::vector<StoredCertificate>* out) {
  out->clear();
  std::unique_ptr<DIR, DirClose> dir(opendir(home.CertsDir().c_str()));
  if (!dir) return errno == ENOENT ? qx::S_OK : HresultFromErrno(errno);
  constexpr std::string_view kSuffix = ".crt";
  while (dirent* entry = readdir(dir.get())) {
    std::string_view file = entry->d_name;
    if (file.size() <= kSuffix.size() || file.substr(file.size() - kSuffix.size()) != kSuffix)
      continue;
    std::string name(file.substr(0, file.size() - kSuffix.size()));
    if (!IsValidName(name)) continue;
    StoredCertificate stored{name, nullptr};
    LoadCertificateFile(home.CertPath(name), &stored.cert);
    out->push_back(std::move(stored));
  }
  std::sort(out->begin(), out->end(),
            [](const StoredCertificate& a, const StoredCertificate& b) { return a.name < b.name; });
  return qx::S_OK;
}

HRESULT FindStoredCertificate(const Home& home, const std::string& name, X509Ptr* out) {
  if (!IsValidName(name)) return kCertNotFound;
  for (const std::string& path : {home.CertPath(name), home.IdentityCertPath(name)}) {
    HRESULT hr = LoadCertificateFile(path, out);
    if (hr == HresultFromErrno(ENOENT)) continue;
    return hr;
  }
  return kCertNotFound;
}

HRESULT ResolveRecipientCertificate(const Home& home, const Config& config, const std::string& name,
                                    X509Ptr* out, std::string* problem) {
  problem->clear();
  const ConfigKey* key = config.FindKey("smime", name + "_cert");
  if (key && !key->is_list && !key->value.empty()) {
    X509Ptr cert = CertificateFromConfigValue(key->value);
    if (cert && HasRecipientKeyType(cert.get())) {
      *out = std::move(cert);
      return qx::S_OK;
    }
    *problem =
        "Configured certificate for " + name + " is not usable: " + key->value.substr(0, 120);
  }
  return FindStoredCertificate(home, name, out);
}

}  // namespace asas
