// asasctl: administration of the security client's home, for the practice's administrator,
// Trust Center staff and tests.
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "commands.h"

namespace {

int Run(int argc, char** argv) {
  using namespace asas;
  CLI::App app{"asasctl: logins, keys and certificates of the ASAS security client"};
  app.require_subcommand(1);
  std::string home_dir;
  app.add_option("--home", home_dir,
                 "home folder (default: ASAS_HOME, $XDG_DATA_HOME/asas, "
                 "~/.local/share/asas)");

  auto* init = app.add_subcommand("init", "create the home");

  auto* login = app.add_subcommand("login", "logins and their identities");
  login->require_subcommand(1);
  auto* login_add = login->add_subcommand("add", "add a login; makes the identity's key");
  std::string login_name, identity, key_type = "rsa";
  login_add->add_option("NAME", login_name, "login name")->required();
  login_add->add_option("--identity", identity, "identity of the key (default: the login name)");
  login_add->add_option("--key-type", key_type, "rsa (3072 bits) or ec (P-256)")
      ->check(CLI::IsMember({"rsa", "ec"}));
  auto* login_list = login->add_subcommand("list", "list the logins (* marks the current one)");

  auto* cert = app.add_subcommand("cert", "Trust Center certificates");
  cert->require_subcommand(1);
  auto* cert_import = cert->add_subcommand("import", "store a recipient's certificate");
  std::string cert_name, cert_file;
  cert_import->add_option("NAME", cert_name, "recipient name")->required();
  cert_import->add_option("FILE", cert_file, "certificate file, PEM or DER")->required();
  auto* cert_list = cert->add_subcommand("list", "list the stored certificates");

  auto* start = app.add_subcommand("start", "start the client with a login");
  std::string start_login;
  start->add_option("LOGIN", start_login, "login")->required();
  auto* stop = app.add_subcommand("stop", "stop the client");
  auto* status = app.add_subcommand("status", "show whether the client runs and with which login");

  auto* encrypt = app.add_subcommand("encrypt", "envelope a file for recipients");
  std::optional<std::string> from, to;
  std::string encrypt_in, encrypt_out;
  encrypt->add_option("--from", from, "sender written into the message");
  encrypt->add_option("--to", to,
                      "recipients R1,R2; without it IN must be a message file with a header");
  encrypt->add_option("IN", encrypt_in, "body (or message file)")->required();
  encrypt->add_option("OUT", encrypt_out, "envelope file to write")->required();

  auto* decrypt = app.add_subcommand("decrypt", "open an envelope with a recipient's key");
  std::string key_file, decrypt_in, decrypt_out = "-";
  std::optional<std::string> decrypt_cert;
  decrypt->add_option("--key", key_file, "private key file (PEM)")->required();
  decrypt->add_option("--cert", decrypt_cert, "certificate of the key, to pick its entry");
  decrypt->add_option("--out", decrypt_out, "where the body goes (default: stdout)");
  decrypt->add_option("IN", decrypt_in, "envelope file")->required();

  CLI11_PARSE(app, argc, argv);

  std::optional<Home> home;
  if (!home_dir.empty()) {
    home = Home{home_dir};
  } else {
    home = Home::FromEnvironment();
  }
  bool needs_home = !decrypt->parsed();
  if (needs_home && !home) {
    fprintf(stderr, "asasctl: no home folder: set ASAS_HOME or use --home\n");
    return 1;
  }

  if (init->parsed()) return ctl::Init(*home);
  if (login_add->parsed())
    return ctl::LoginAdd(*home, login_name, identity.empty() ? login_name : identity,
                         key_type == "ec" ? KeyType::kEc : KeyType::kRsa);
  if (login_list->parsed()) return ctl::LoginList(*home);
  if (cert_import->parsed()) return ctl::CertImport(*home, cert_name, cert_file);
  if (cert_list->parsed()) return ctl::CertList(*home);
  if (start->parsed()) return ctl::Start(*home, start_login);
  if (stop->parsed()) return ctl::Stop(*home);
  if (status->parsed()) return ctl::Status(*home);
  if (encrypt->parsed()) return ctl::Encrypt(*home, from, to, encrypt_in, encrypt_out);
  if (decrypt->parsed()) return ctl::Decrypt(key_file, decrypt_cert, decrypt_in, decrypt_out);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    fprintf(stderr, "asasctl: %s\n", e.what());
    return 1;
  }
}
