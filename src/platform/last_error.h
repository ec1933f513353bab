// The thread's last system error, as the Win32 last-error value was used: a failing platform call
// inside a per-file operation leaves its errno here, and the step reports it once.
#pragma once

#include <string>

#include "qendix/com.h"

namespace qx {

int GetLastSystemError();
void SetLastSystemError(int error);

// The system's text for an error number (strerror); empty for 0.
std::string SystemErrorText(int error);

// The system's text for a result code: strerror for facility-7 (errno) codes, a table for the
// common HRESULTs, else "Error 0x%08X".
std::string ResultText(HRESULT hr);

}  // namespace qx
