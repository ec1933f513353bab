// Keeps exceptions from crossing an interface boundary: runs `call` and turns an allocation
// failure into E_OUTOFMEMORY and any other exception into E_UNEXPECTED. Used by the methods of
// objects that C code (the XSLT processor, the security client) calls.
#pragma once

#include <new>

#include "qendix/com.h"

namespace qx {

template <typename Call>
HRESULT GuardedCall(Call&& call) noexcept {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace qx
