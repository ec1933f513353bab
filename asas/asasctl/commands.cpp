#include "commands.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "base64.h"
#include "cert_store.h"
#include "certificate.h"
#include "client_ops.h"
#include "envelope.h"
#include "file_io.h"
#include "key_store.h"
#include "message_file.h"
#include "objects.h"
#include "run_state.h"

namespace asas::ctl {
namespace {

int Fail(const std::string& what, HRESULT hr) {
  fprintf(stderr, "asasctl: %s: %s\n", what.c_str(), DescribeResult(hr).c_str());
  return 1;
}

int Fail(const std::string& what) {
  fprintf(stderr, "asasctl: %s\n", what.c_str());
  return 1;
}

// A private folder for a temporary message file, removed with its file on every way out.
class PrivateTempDir {
 public:
  PrivateTempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/asasctl-XXXXXX";
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~PrivateTempDir() {
    if (path_.empty()) return;
    unlink(File().c_str());
    rmdir(path_.c_str());
  }
  PrivateTempDir(const PrivateTempDir&) = delete;
  PrivateTempDir& operator=(const PrivateTempDir&) = delete;
  bool ok() const { return !path_.empty(); }
  std::string File() const { return path_ + "/message"; }

 private:
  std::string path_;
};

bool HasLineBreak(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos;
}

}  // namespace

std::string DescribeResult(HRESULT hr) {
  char code[16];
  snprintf(code, sizeof code, "0x%08X", static_cast<uint32_t>(hr));
  std::string text;
  if (hr == kCertNotFound)
    text = "certificate not found";
  else if (hr == kBadCertificate)
    text = "not a usable certificate (RSA or EC key expected)";
  else if (hr == qx::E_INVALIDARG)
    text = "invalid argument";
  else if (hr == qx::E_UNEXPECTED)
    text = "not possible in this state";
  else if (hr == qx::E_OUTOFMEMORY)
    text = "out of memory";
  else if (hr == qx::E_FAIL)
    text = "failure";
  else if (hr == qx::E_ACCESSDENIED)
    text = "access denied";
  else if ((static_cast<uint32_t>(hr) & 0xFFFF0000u) == 0x80070000u)
    text = strerror(static_cast<int>(hr & 0xFFFF));
  else
    text = "error";
  return text + " (" + code + ")";
}

int Init(const Home& home) {
  FileLock lock;
  HRESULT hr = LockHome(home, &lock);
  if (qx::Failed(hr)) return Fail("cannot create home " + home.root, hr);
  Config config;
  hr = LoadConfig(home, &config);
  if (qx::Failed(hr)) return Fail("cannot read the configuration", hr);
  hr = SaveConfig(home, config);
  if (qx::Failed(hr)) return Fail("cannot write the configuration", hr);
  printf("home %s ready\n", home.root.c_str());
  return 0;
}

int LoginAdd(const Home& home, const std::string& login, const std::string& identity,
             KeyType type) {
  bool created = false;
  HRESULT hr = AddLogin(home, login, identity, type, &created);
  if (hr == qx::E_INVALIDARG)
    return Fail("invalid login or identity name (no blanks, commas, slashes, \"_key\")");
  if (qx::Failed(hr)) return Fail("cannot add login " + login, hr);
  printf("login %s added for identity %s (%s)\n", login.c_str(), identity.c_str(),
         created ? "new key and certificate" : "existing key");
  return 0;
}

int LoginList(const Home& home) {
  Config config;
  RunState state;
  HRESULT hr = LoadConfig(home, &config);
  if (qx::Succeeded(hr)) hr = LoadRunState(home, &state);
  if (qx::Failed(hr)) return Fail("cannot read the home", hr);
  for (const auto& login : config.logins) {
    const std::string* identity = login.Find(kIdentityEntry);
    printf("%c %s identity=%s\n", login.name == state.current() ? '*' : ' ', login.name.c_str(),
           identity ? identity->c_str() : "");
  }
  return 0;
}

int CertImport(const Home& home, const std::string& name, const std::string& file) {
  std::string data;
  HRESULT hr = ReadFileBounded(file, kMaxCertificateBytes, &data);
  if (qx::Failed(hr)) return Fail("cannot read " + file, hr);
  hr = ImportCertificate(home, name, data);
  if (hr == qx::E_INVALIDARG) return Fail("invalid recipient name " + name);
  if (qx::Failed(hr)) return Fail("cannot import " + file, hr);
  printf("certificate of %s imported\n", name.c_str());
  return 0;
}

int CertList(const Home& home) {
  std::vector<StoredCertificate> certs;
  HRESULT hr = ListCertificates(home, &certs);
  if (qx::Failed(hr)) return Fail("cannot list the certificates", hr);
  for (const auto& c : certs)
    printf("%s %s\n", c.name.c_str(),
           c.cert ? DescribeCertificate(c.cert.get()).c_str() : "(unreadable)");
  return 0;
}

int Start(const Home& home, const std::string& login) {
  HRESULT hr = SelectLogin(home, login);
  if (hr == qx::E_INVALIDARG) return Fail("unknown login " + login);
  if (qx::Failed(hr)) return Fail("cannot choose login " + login, hr);
  hr = StartClient(home);
  if (qx::Failed(hr)) return Fail("cannot start with login " + login, hr);
  printf(hr == qx::S_FALSE ? "running with login %s already\n" : "started with login %s\n",
         login.c_str());
  return 0;
}

int Stop(const Home& home) {
  HRESULT hr = StopClient(home);
  if (qx::Failed(hr)) return Fail("cannot stop", hr);
  printf(hr == qx::S_FALSE ? "not running\n" : "stopped\n");
  return 0;
}

int Status(const Home& home) {
  RunState state;
  HRESULT hr = LoadRunState(home, &state);
  if (qx::Failed(hr)) return Fail("cannot read the state", hr);
  printf("home: %s\nversion: %s\n", home.root.c_str(), ClientVersionText().c_str());
  if (state.is_running())
    printf("running with login %s since %s\n", state.running.c_str(), state.since.c_str());
  else
    printf("stopped\n");
  if (!state.selected.empty() && state.selected != state.running)
    printf("login for the next start: %s\n", state.selected.c_str());
  return 0;
}

int Encrypt(const Home& home, const std::optional<std::string>& from,
            const std::optional<std::string>& to, const std::string& in, const std::string& out) {
  if ((from && HasLineBreak(*from)) || (to && HasLineBreak(*to)))
    return Fail("--from and --to must be single lines");
  if (from && !to) return Fail("--from needs --to");
  std::string message;
  HRESULT hr = ReadFileBounded(in, kMaxMessageBytes, &message);
  if (qx::Failed(hr)) return Fail("cannot read " + in, hr);
  if (to) {
    std::string header;
    if (from) header += "From: " + *from + "\n";
    header += "To: " + *to + "\n\n";
    message.insert(0, header);
  }

  PrivateTempDir temp;
  if (!temp.ok()) return Fail("cannot make a temporary folder", HresultFromErrno(errno));
  hr = WriteFileAtomic(temp.File(), message, 0600);
  OPENSSL_cleanse(message.data(), message.size());
  if (qx::Failed(hr)) return Fail("cannot write the message file", hr);

  qx::RefPtr<qx::IAsasSmime> smime = MakeSmime(home);
  hr = smime->SmimeLoad(temp.File());
  if (qx::Failed(hr)) return Fail("cannot load the message", hr);
  hr = smime->SmimeEncrypt();
  if (qx::Failed(hr)) return Fail("cannot envelope the message", hr);
  hr = smime->SmimeSave(out);
  if (qx::Failed(hr)) return Fail("cannot save " + out, hr);
  return 0;
}

int Decrypt(const std::string& key_file, const std::optional<std::string>& cert_file,
            const std::string& in, const std::string& out) {
  PkeyPtr key;
  HRESULT hr = LoadPrivateKeyFile(key_file, &key);
  if (qx::Failed(hr)) return Fail("cannot read the key " + key_file, hr);
  X509Ptr cert;
  if (cert_file) {
    hr = LoadCertificateFile(*cert_file, &cert);
    if (qx::Failed(hr)) return Fail("cannot read the certificate " + *cert_file, hr);
  }
  std::string text;
  hr = ReadFileBounded(in, kMaxMessageBytes * 2, &text);
  if (qx::Failed(hr)) return Fail("cannot read " + in, hr);
  std::vector<HeaderField> fields;
  std::string_view body;
  hr = SplitMessage(text, &fields, &body);
  if (qx::Failed(hr)) return Fail("not an envelope file", hr);
  auto der = Base64Decode(body);
  if (!der) return Fail("the envelope body is not base64");
  std::string content;
  hr = OpenEnvelope(*der, key.get(), cert.get(), &content);
  if (qx::Failed(hr)) return Fail("cannot open the envelope", hr);
  if (out == "-") {
    bool ok =
        fwrite(content.data(), 1, content.size(), stdout) == content.size() && fflush(stdout) == 0;
    OPENSSL_cleanse(content.data(), content.size());
    return ok ? 0 : Fail("cannot write the output");
  }
  hr = WriteFileAtomic(out, content, 0600);
  OPENSSL_cleanse(content.data(), content.size());
  if (qx::Failed(hr)) return Fail("cannot write " + out, hr);
  return 0;
}

}  // namespace asas::ctl
