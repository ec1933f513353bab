#include "platform/class_registry.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <map>
#include <mutex>
#include <string>

#include "platform/module.h"
#include "qendix/asas.h"

namespace qx {
namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, ClassFactoryFn, std::less<>> builtin;
  AsasCreateObjectFn asas_create = nullptr;
  AsasCreateObjectFn asas_for_testing = nullptr;
};

Registry& GetRegistry() {
  static Registry* registry = new Registry;  // lives for the process; never destroyed
  return *registry;
}

// Loads the security client library at the first request that finds it. The handle stays open for
// the life of the process, as an in-process server stays loaded while objects of it may exist.
AsasCreateObjectFn LoadAsas(Registry& r) {
  // Only a successful load is kept: a client installed while the host runs is found at the
  // next object request.
  if (r.asas_create) return r.asas_create;
  const char* named = getenv("QENDIX_ASAS_LIBRARY");
  void* handle = nullptr;
  if (named && *named) {
    handle = dlopen(named, RTLD_NOW | RTLD_LOCAL);
  } else {
    handle = dlopen("libasas.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      std::string beside = LibraryDirectory() + "/libasas.so.1";
      handle = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
  }
  if (!handle) return nullptr;
  r.asas_create = reinterpret_cast<AsasCreateObjectFn>(dlsym(handle, "AsasCreateObject"));
  if (!r.asas_create) dlclose(handle);
  return r.asas_create;
}

}  // namespace

bool IsAsasProgId(std::string_view progid) {
  return progid == "Asas.Client" || progid == "Asas.Client.Conf" || progid == "ASAS.SMIME" ||
         progid == "Asas.SMIME";
}

void SetAsasFactoryForTesting(AsasCreateObjectFn fn) {
  Registry& r = GetRegistry();
  std::lock_guard lock(r.mutex);
  r.asas_for_testing = fn;
}

void RegisterBuiltinClass(std::string_view progid, ClassFactoryFn factory) {
  Registry& r = GetRegistry();
  std::lock_guard lock(r.mutex);
  r.builtin[std::string(progid)] = factory;
}

HRESULT CreateObjectByProgId(std::string_view progid, const Guid& iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  Registry& r = GetRegistry();
  ClassFactoryFn factory = nullptr;
  AsasCreateObjectFn asas = nullptr;
  {
    std::lock_guard lock(r.mutex);
    auto it = r.builtin.find(progid);
    if (it != r.builtin.end()) {
      factory = it->second;
    } else if (IsAsasProgId(progid)) {
      asas = r.asas_for_testing ? r.asas_for_testing : LoadAsas(r);
    }
  }
  if (factory) return factory(iid, out);
  if (asas) {
    std::string name(progid);
    return asas(name.c_str(), &iid, out);
  }
  return REGDB_E_CLASSNOTREG;
}

}  // namespace qx
