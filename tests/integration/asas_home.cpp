#include "integration/asas_home.h"

#include <openssl/evp.h>
#include <stdlib.h>

namespace qx::testing {

AsasHome::AsasHome() : root_(dir_ / "asas") {
  setenv("ASAS_HOME", root_.c_str(), 1);
  setenv("QENDIX_ASAS_LIBRARY", kAsasLibrary.c_str(), 1);
}

AsasHome::~AsasHome() {
  unsetenv("ASAS_HOME");
}

std::vector<std::string> AsasHome::ChildEnvironment() const {
  return {"PATH=/usr/bin:/bin", "ASAS_HOME=" + root_};
}

ProcessResult AsasHome::Ctl(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {kAsasctl};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProcess(argv, ChildEnvironment(), dir_.path());
}

ProcessResult AsasHome::OpenSsl(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {"openssl"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProcess(argv, ChildEnvironment(), dir_.path());
}

bool AsasHome::AddLogin(const std::string& login, const std::string& identity) const {
  std::vector<std::string> args = {"login", "add", login, "--key-type", "ec"};
  if (!identity.empty()) args.insert(args.end(), {"--identity", identity});
  return Ctl(args).status == 0;
}

TrustCenter AsasHome::MakeTrustCenter(const std::string& name, KeyKind kind, bool import) const {
  TrustCenter tc{name, dir_ / (name + ".key"), dir_ / (name + ".crt")};
  std::vector<std::string> args = {"req",      "-x509", "-nodes",      "-days",
                                   "2",        "-subj", "/CN=" + name, "-keyout",
                                   tc.keyFile, "-out",  tc.certFile};
  if (kind == KeyKind::kRsa)
    args.insert(args.end(), {"-newkey", "rsa:2048"});
  else
    args.insert(args.end(), {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256"});
  if (OpenSsl(args).status != 0) return {};
  if (import && Ctl({"cert", "import", name, tc.certFile}).status != 0) return {};
  return tc;
}

std::string SmimeMessage(const std::string& body) {
  return "MIME-Version: 1.0\n"
         "Content-Type: application/pkcs7-mime; smime-type=enveloped-data; name=smime.p7m\n"
         "Content-Transfer-Encoding: base64\n"
         "\n" +
         body;
}

bool OpenEnvelope(const AsasHome& home, const std::string& body, const TrustCenter& tc,
                  std::string* plain) {
  const std::string in = home.Scratch() / "envelope.p7m";
  const std::string out = home.Scratch() / "opened";
  plain->clear();
  if (!WriteFile(in, SmimeMessage(body))) return false;
  ProcessResult r = home.OpenSsl(
      {"cms", "-decrypt", "-in", in, "-inkey", tc.keyFile, "-recip", tc.certFile, "-out", out});
  *plain = r.status == 0 ? ReadFile(out) : r.err;
  return r.status == 0;
}

void EventLines::RaiseEvent(tagMsgLevel level, tagMsgClass mclass, tagMsgOrigin origin,
                            int32_t code, const BStr& fileName, const BStr& msg) {
  std::lock_guard lock(mutex_);
  lines_.push_back(std::to_string(level) + "|" + std::to_string(mclass) + "|" +
                   std::to_string(origin) + "|" + std::to_string(code) + "|" +
                   fileName.value_or("(null)") + "|" + msg.value_or("(null)"));
}

std::vector<std::string> EventLines::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::string Base64Lines(const std::string& bytes) {
  std::string lines;
  for (size_t pos = 0; pos < bytes.size(); pos += 48) {
    const std::string chunk = bytes.substr(pos, 48);
    unsigned char encoded[65] = {};
    int n = EVP_EncodeBlock(encoded, reinterpret_cast<const unsigned char*>(chunk.data()),
                            static_cast<int>(chunk.size()));
    lines.append(reinterpret_cast<const char*>(encoded), static_cast<size_t>(n));
    lines += '\n';
  }
  return lines;
}

}  // namespace qx::testing
