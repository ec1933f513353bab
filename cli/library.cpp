#include "library.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include "qendix/build_paths.h"

namespace qendix_cli {
namespace {

std::string ProgramFolder() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return ".";
  std::string path(buffer, static_cast<size_t>(n));
  auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

bool LoadLibrary(Library* library, std::string* error) {
  void* handle = nullptr;
  if (const char* named = getenv("QENDIX_LIBRARY"); named && *named) {
    handle = dlopen(named, RTLD_NOW | RTLD_LOCAL);
  } else {
    handle = dlopen("libqendix.so.2", RTLD_NOW | RTLD_LOCAL);
    for (const char* relative : {"/" QENDIX_BINDIR_TO_LIBDIR, "/../lib"}) {
      if (handle) break;
      std::string beside = ProgramFolder() + relative + "/libqendix.so.2";
      handle = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
  }
  if (!handle) {
    const char* text = dlerror();
    *error = text ? text : "cannot load libqendix.so";
    return false;
  }
  library->createObject = reinterpret_cast<QxCreateObjectFn>(dlsym(handle, "QxCreateObject"));
  library->objectCount = reinterpret_cast<int (*)()>(dlsym(handle, "QxObjectCount"));
  if (!library->createObject) {
    *error = "libqendix.so has no QxCreateObject";
    return false;
  }
  Dl_info info{};
  library->folder = ".";
  if (dladdr(reinterpret_cast<void*>(library->createObject), &info) && info.dli_fname) {
    std::string path(info.dli_fname);
    auto slash = path.rfind('/');
    if (slash != std::string::npos) library->folder = slash == 0 ? "/" : path.substr(0, slash);
  }
  return true;
}

}  // namespace qendix_cli
