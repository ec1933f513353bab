// Reference counting and interface lookup for the security client's objects.
//
// ComObject (qendix/com.h) implements IUnknown for the classes.
#pragma once

#include <new>

#include "qendix/com.h"

namespace asas {

using qx::ComObject;

// Answers `iid` from a newly made object that holds one reference, then gives that reference
// up: on success the caller holds the only reference, on failure the object is gone.
template <typename T>
qx::HRESULT HandOver(T* object, const qx::Guid& iid, void** out) {
  if (!object) return qx::E_OUTOFMEMORY;
  qx::HRESULT hr = object->QueryInterface(iid, out);
  object->Release();
  return hr;
}

// Runs `body`, turning an exception into a result: an operation at the automation boundary never
// lets one escape.
template <typename F>
qx::HRESULT Guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return qx::E_OUTOFMEMORY;
  } catch (...) {
    return qx::E_FAIL;
  }
}

}  // namespace asas
