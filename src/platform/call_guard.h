// The one guard where calls cross the library's edge: runs `call` (which returns an HRESULT) and
// turns an allocation failure into E_OUTOFMEMORY and any other exception into E_UNEXPECTED.
// Every method of the component's interfaces, every function of the C interface, every callback
// that C code (libxml2, libxslt, libcurl, the security client) makes into this library and every
// worker thread body runs through it, so no exception ever crosses a C frame or ends a thread.
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
