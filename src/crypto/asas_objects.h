// Small helpers for talking to the security client: creating its objects by ProgID through the
// class registry and reading the collections and entries it returns in variants.
#pragma once

#include <string>
#include <string_view>

#include "platform/class_registry.h"
#include "qendix/asas.h"

namespace qx {

// Creates the security-client object registered under `progid` with interface T. A successful
// creation that yields no object counts as E_UNEXPECTED.
template <typename T>
HRESULT CreateAsasObject(std::string_view progid, RefPtr<T>* object) {
  if (!object) return E_POINTER;
  HRESULT hr = CreateObjectByProgId(progid, T::kIid, object->PutVoid());
  if (Succeeded(hr) && !*object) hr = E_UNEXPECTED;
  if (Failed(hr)) object->Reset();
  return hr;
}

// The IAsasCollection of the object held by `value`; empty when it holds none.
RefPtr<IAsasCollection> CollectionOf(const Variant& value);

// The IAsasEntry of the object held by `value`; empty when it holds none.
RefPtr<IAsasEntry> EntryOf(const Variant& value);

}  // namespace qx
