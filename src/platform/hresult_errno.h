// errno values carried in HRESULTs. A failure that comes from the system travels as the errno
// value in a facility-7 code (HresultFromWin32), so that every caller can tell the cause and show
// strerror's text (ResultText in last_error.h). Pure functions; thread-safe.
#pragma once

#include "qendix/com.h"

namespace qx {

// The HRESULT for an errno value; 0 gives E_FAIL, never a success.
constexpr HRESULT HresultFromErrno(int error) {
  return error == 0 ? E_FAIL : HresultFromWin32(static_cast<uint32_t>(error));
}

// The errno value inside a facility-7 failure code; 0 for success and for every other code,
// also for the Windows codes that share facility 7 but are no errno (E_OUTOFMEMORY,
// E_INVALIDARG, E_BUSY), as ResultText reads them.
constexpr int ErrnoFromHresult(HRESULT hr) {
  const auto code = static_cast<uint32_t>(hr);
  if ((code & 0xFFFF0000u) != 0x80070000u || hr == E_OUTOFMEMORY || hr == E_INVALIDARG ||
      hr == E_BUSY)
    return 0;
  return static_cast<int>(code & 0xFFFFu);
}

}  // namespace qx
