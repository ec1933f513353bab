#include "platform/module_folder.h"

#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "qendix/build_paths.h"

namespace qx {
namespace {

std::string WithoutTrailingSlashes(std::string d) {
  while (d.size() > 1 && d.back() == '/') d.pop_back();
  return d;
}

std::string Resolved(const std::string& path) {
  char buffer[PATH_MAX];
  if (!::realpath(path.c_str(), buffer)) return {};
  return buffer;
}

std::string EnvFolder(const char* name) {
  const char* v = getenv(name);
  // Relative values are to be ignored (XDG base directory rules).
  if (!v || v[0] != '/') return {};
  return WithoutTrailingSlashes(v);
}

}  // namespace

bool IsInBuildTree(const std::string& folder) {
  const std::string tree = Resolved(QENDIX_BUILD_TREE);
  const std::string here = Resolved(folder);
  if (tree.empty() || here.empty()) return false;
  return here == tree || (here.size() > tree.size() && here.compare(0, tree.size(), tree) == 0 &&
                          here[tree.size()] == '/');
}

std::string PerUserModuleFolder() {
  std::string config = EnvFolder("XDG_CONFIG_HOME");
  if (config.empty()) {
    std::string home = EnvFolder("HOME");
    if (home.empty()) {
      std::vector<char> buffer(16384);
      passwd entry{};
      passwd* found = nullptr;
      if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
          found->pw_dir && found->pw_dir[0] == '/')
        home = WithoutTrailingSlashes(found->pw_dir);
    }
    if (home.empty()) return {};
    config = (home == "/" ? "" : home) + "/.config";
  }
  return config + "/qendix";
}

std::string ModuleFolderFor(const std::string& libraryFolder) {
  if (const char* dir = getenv("QENDIX_MODULE_DIR"); dir && *dir)
    return WithoutTrailingSlashes(dir);
  if (IsInBuildTree(libraryFolder)) return libraryFolder;
  std::string user = PerUserModuleFolder();
  // No home at all: the library's folder, where settings simply cannot be written by most users.
  return user.empty() ? libraryFolder : user;
}

std::string ShippedCenterDirectoryFor(const std::string& libraryFolder) {
  if (IsInBuildTree(libraryFolder)) return libraryFolder + "/qendix.xml";
  return libraryFolder + "/" QENDIX_LIBDIR_TO_DATADIR "/qendix/qendix.xml";
}

int CreateMissingFolders(const std::string& path) {
  if (path.empty()) return ENOENT;
  for (size_t end = 1; end <= path.size(); ++end) {
    if (end != path.size() && path[end] != '/') continue;
    const std::string part = path.substr(0, end);
    if (part.back() == '/') continue;
    struct stat st {};
    if (::stat(part.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return ENOTDIR;
      continue;
    }
    if (errno != ENOENT) return errno;
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  }
  return 0;
}

}  // namespace qx
