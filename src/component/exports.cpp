// The exported entry points of libqendix.so.
#include "platform/class_registry.h"
#include "qendix/qendix.h"

extern "C" __attribute__((visibility("default"))) qx::HRESULT QxCreateObject(const char* progid,
                                                                             const qx::Guid* iid,
                                                                             void** out) {
  if (!out) return qx::E_POINTER;
  *out = nullptr;
  if (!progid || !iid) return qx::E_INVALIDARG;
  return qx::CreateObjectByProgId(progid, *iid, out);
}
