// The reference Trust Center (tools/trustcenter/trustcenter.py) as a child process for one test:
// started on a port the system picks, stopped at destruction. Its store (what it received and
// opened) lies in the given folder.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace qx::testing {

class ReferenceTrustCenter {
 public:
  // Starts the server with `key`/`cert` (PEM files; empty for none) as its own recipient `rcpt`
  // and the extra command-line flags (with "--tls" it speaks https); Port() is 0 when it could
  // not be started.
  ReferenceTrustCenter(const std::string& store, const std::string& key, const std::string& cert,
                       const std::string& rcpt, const std::vector<std::string>& flags = {});
  ~ReferenceTrustCenter();
  ReferenceTrustCenter(const ReferenceTrustCenter&) = delete;
  ReferenceTrustCenter& operator=(const ReferenceTrustCenter&) = delete;

  int Port() const { return port_; }
  std::string BaseUrl() const {
    return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_);
  }
  // A centers document naming this server as "TC test" for `rcpt`.
  std::string CentersDocument() const;
  // The lines of the store's received.log: "number\tsession\tverdict\tname\tparts\tcode".
  std::vector<std::string> Received() const;

 private:
  std::string store_;
  std::string rcpt_;
  bool tls_ = false;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace qx::testing
