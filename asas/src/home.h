// The security client's home folder and the paths inside it.
//
//   <home>/config        configuration store: logins, their entries, sections with keys
//   <home>/state         running state: the selected login and the login the client runs with
//   <home>/lock          empty file; writers hold an exclusive flock on it
//   <home>/keys/<id>.key private key of an identity (PEM, PKCS#8), mode 0600
//   <home>/keys/<id>.crt self-signed certificate of that identity (PEM), mode 0600
//   <home>/certs/<name>.crt  Trust Center certificates by recipient name (PEM)
//
// The home is ASAS_HOME when set, else $XDG_DATA_HOME/asas (an absolute XDG_DATA_HOME only),
// else $HOME/.local/share/asas. A Home is a plain value; it is safe to copy and share.
#pragma once

#include <optional>
#include <string>

#include "errors.h"

namespace asas {

struct Home {
  std::string root;  // absolute or relative folder, without a trailing slash

  std::string ConfigPath() const { return root + "/config"; }
  std::string StatePath() const { return root + "/state"; }
  std::string LockPath() const { return root + "/lock"; }
  std::string KeysDir() const { return root + "/keys"; }
  std::string CertsDir() const { return root + "/certs"; }
  std::string KeyPath(const std::string& identity) const {
    return KeysDir() + "/" + identity + ".key";
  }
  std::string IdentityCertPath(const std::string& identity) const {
    return KeysDir() + "/" + identity + ".crt";
  }
  std::string CertPath(const std::string& name) const { return CertsDir() + "/" + name + ".crt"; }

  // The home named by the environment; empty when neither ASAS_HOME, XDG_DATA_HOME nor a home
  // folder can be found.
  static std::optional<Home> FromEnvironment();

  // Creates the home, "keys" and "certs" (mode 0700) when missing, then Tighten().
  HRESULT Ensure() const;

  // Makes the home and its "keys" and "certs" folders private again (mode 0700) when they grant
  // the group or others any access: they hold private keys and logins. Only folders of this user
  // are changed; missing ones, and "keys" or "certs" when they are symbolic links, are left
  // alone. Called whenever the client opens the home (object creation, Ensure).
  void Tighten() const;
};

}  // namespace asas
