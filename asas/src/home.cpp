#include "home.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include "file_io.h"

namespace asas {
namespace {

std::string Trimmed(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string UserHomeFolder() {
  const char* home = getenv("HOME");
  if (home && *home) return home;
  // No HOME: fall back to the password database (getpwuid_r keeps this thread-safe).
  struct passwd pw;
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &pw, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir &&
      *found->pw_dir)
    return found->pw_dir;
  return {};
}

}  // namespace

std::optional<Home> Home::FromEnvironment() {
  const char* named = getenv("ASAS_HOME");
  if (named && *named) return Home{Trimmed(named)};
  const char* xdg = getenv("XDG_DATA_HOME");
  if (xdg && xdg[0] == '/') return Home{Trimmed(xdg) + "/asas"};
  std::string user = UserHomeFolder();
  if (user.empty()) return std::nullopt;
  return Home{Trimmed(user) + "/.local/share/asas"};
}

HRESULT Home::Ensure() const {
  if (root.empty()) return qx::E_INVALIDARG;
  HRESULT hr = MakeDirectories(root, 0700);
  if (qx::Failed(hr)) return hr;
  hr = MakeDirectories(KeysDir(), 0700);
  if (qx::Failed(hr)) return hr;
  return MakeDirectories(CertsDir(), 0700);
}

}  // namespace asas
