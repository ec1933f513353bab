#include "platform/module.h"

#include <dlfcn.h>
#include <stdlib.h>

namespace qx {

std::string ModuleDirectory() {
  if (const char* dir = getenv("QENDIX_MODULE_DIR"); dir && *dir) {
    std::string d(dir);
    while (d.size() > 1 && d.back() == '/') d.pop_back();
    return d;
  }
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModuleDirectory), &info) && info.dli_fname) {
    std::string path(info.dli_fname);
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
  }
  return ".";
}

}  // namespace qx
