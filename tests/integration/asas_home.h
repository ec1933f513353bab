// A security client of its own for one test, reached the way an installation reaches it: a
// private ASAS_HOME, the build's libasas.so.1 named through QENDIX_ASAS_LIBRARY and loaded by the
// class registry, asasctl to administer the home, and Trust Center keys made with the openssl
// command. Each test case runs in a process of its own, so the environment it sets holds for the
// whole case.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "common/process.h"
#include "common/temp_dir.h"
#include "support/event_target.h"

namespace qx::testing {

// The library and the administration tool of this build.
inline const std::string kAsasLibrary = QENDIX_BINARY_DIR "/lib/libasas.so.1";
inline const std::string kAsasctl = QENDIX_BINARY_DIR "/bin/asasctl";

// A Trust Center recipient: its name, private key and self-signed certificate (PEM files).
struct TrustCenter {
  std::string name;
  std::string keyFile;
  std::string certFile;
};

enum class KeyKind { kRsa, kEc };

class AsasHome {
 public:
  // Makes the home folder and points this process at it and at the build's library. Must exist
  // before the process creates its first security-client object (the library is loaded once).
  AsasHome();
  ~AsasHome();
  AsasHome(const AsasHome&) = delete;
  AsasHome& operator=(const AsasHome&) = delete;

  const std::string& Root() const { return root_; }
  // A folder of this home's test for keys, scratch files and command output.
  const TempDir& Scratch() const { return dir_; }

  // Environment of the child processes: PATH and ASAS_HOME only.
  std::vector<std::string> ChildEnvironment() const;
  // Runs asasctl on this home.
  ProcessResult Ctl(const std::vector<std::string>& args) const;
  // Runs the openssl command.
  ProcessResult OpenSsl(const std::vector<std::string>& args) const;

  // Adds a login with an EC key (quick to make); `identity` defaults to the login name.
  // True when asasctl succeeded.
  bool AddLogin(const std::string& login, const std::string& identity = "") const;
  // Makes a Trust Center key and certificate with `openssl req -x509`; with `import` the
  // certificate goes into the home's certificate store through `asasctl cert import`.
  // An empty name in the result means it could not be made.
  TrustCenter MakeTrustCenter(const std::string& name, KeyKind kind, bool import) const;

 private:
  TempDir dir_;
  std::string root_;
};

// The S/MIME message a Trust Center reassembles from an envelope body.
std::string SmimeMessage(const std::string& body);

// Opens the envelope body with `openssl cms -decrypt` and the Trust Center's key; true with the
// exact bytes in *plain, false when openssl refuses (its error text in *plain).
bool OpenEnvelope(const AsasHome& home, const std::string& body, const TrustCenter& tc,
                  std::string* plain);

// An EventTarget that keeps each event as "level|class|origin|code|file|message".
class EventLines final : public EventTarget {
 public:
  void RaiseEvent(tagMsgLevel level, tagMsgClass mclass, tagMsgOrigin origin, int32_t code,
                  const BStr& fileName, const BStr& msg) override;
  std::vector<std::string> Lines() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Base64 of `bytes` in lines of 64 characters, each followed by LF.
std::string Base64Lines(const std::string& bytes);

}  // namespace qx::testing
