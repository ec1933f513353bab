// Reference counting and interface lookup for the security client's objects.
//
// ComObject<I1, I2, ...> implements IUnknown for a class that offers the interfaces I1, I2, ...
// (each with its kIid): QueryInterface answers those and IUnknown (as I1), AddRef and Release are
// thread-safe, and the last Release deletes the object. New objects start with one reference,
// owned by their creator.
#pragma once

#include <new>

#include "qendix/com.h"

namespace asas {

template <typename First, typename... Rest>
class ComObject : public First, public Rest... {
 public:
  qx::HRESULT QueryInterface(const qx::Guid& iid, void** out) override {
    if (!out) return qx::E_POINTER;
    *out = nullptr;
    if (iid == qx::IUnknown::kIid || iid == First::kIid) {
      *out = static_cast<First*>(this);
    } else {
      ((iid == Rest::kIid && !*out ? (void)(*out = static_cast<Rest*>(this)) : (void)0), ...);
    }
    if (!*out) return qx::E_NOINTERFACE;
    AddRef();
    return qx::S_OK;
  }
  uint32_t AddRef() override { return refs_.Increment(); }
  uint32_t Release() override {
    uint32_t left = refs_.Decrement();
    if (left == 0) delete this;
    return left;
  }

 protected:
  ComObject() = default;
  virtual ~ComObject() = default;
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

 private:
  qx::RefCount refs_;
};

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
