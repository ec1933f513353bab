#include "platform/module.h"

#include <dlfcn.h>

#include "platform/module_folder.h"

namespace qx {

std::string LibraryDirectory() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&LibraryDirectory), &info) && info.dli_fname) {
    std::string path(info.dli_fname);
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
  }
  return ".";
}

std::string ModuleDirectory() {
  return ModuleFolderFor(LibraryDirectory());
}

bool RunsFromBuildTree() {
  return IsInBuildTree(LibraryDirectory());
}

std::string ShippedCenterDirectory() {
  return ShippedCenterDirectoryFor(LibraryDirectory());
}

}  // namespace qx
