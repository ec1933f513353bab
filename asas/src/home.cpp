#include "home.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
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

// Sets an open folder of this user to 0700 when its group or others have any access.
void MakePrivate(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) return;
  if ((st.st_mode & 077) != 0) fchmod(fd, 0700);
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
  hr = MakeDirectories(CertsDir(), 0700);
  if (qx::Failed(hr)) return hr;
  Tighten();
  return qx::S_OK;
}

void Home::Tighten() const {
  if (root.empty()) return;
  int home = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (home < 0) return;
  MakePrivate(home);
  for (const char* inner : {"keys", "certs"}) {
    int fd = openat(home, inner, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    MakePrivate(fd);
    close(fd);
  }
  close(home);
}

}  // namespace asas
