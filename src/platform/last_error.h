// The system's texts for failures: strerror for errno values, a table for the common HRESULTs.
// Failures themselves travel as results (HRESULT, hresult_errno.h), not in a per-thread value.
// Thread-safe.
#pragma once

#include <string>

#include "qendix/com.h"

namespace qx {

// The system's text for an error number (strerror); empty for 0.
std::string SystemErrorText(int error);

// The system's text for a result code: strerror for facility-7 (errno) codes, a table for the
// common HRESULTs, else "Error 0x%08X".
std::string ResultText(HRESULT hr);

}  // namespace qx
