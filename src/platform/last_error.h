// The thread's last system error, as the Win32 last-error value was used: a failing platform call
// inside a per-file operation leaves its errno here, and the step reports it once.
#pragma once

#include <string>

namespace qx {

int GetLastSystemError();
void SetLastSystemError(int error);

// The system's text for an error number (strerror); empty for 0.
std::string SystemErrorText(int error);

}  // namespace qx
