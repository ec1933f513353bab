// The exported entry points of libqendix.so.
#include "component/module_state.h"
#include "platform/class_registry.h"
#include "qendix/qendix.h"

extern "C" __attribute__((visibility("default"))) qx::HRESULT QxCreateObject(const char* progid,
                                                                             const qx::Guid* iid,
                                                                             void** out) {
  if (!out) return qx::E_POINTER;
  *out = nullptr;
  if (!progid || !iid) return qx::E_INVALIDARG;
  qx::EnsureModuleInitialized();
  return qx::CreateObjectByProgId(progid, *iid, out);
}

// Live component objects and job threads; 0 when the library could be unloaded.
extern "C" __attribute__((visibility("default"))) int QxObjectCount() {
  return qx::ModuleObjectCount();
}
