// The command `status [--json]`: the component's status report (IQendixInspect::Status).
#pragma once

#include "qendix/qendix.h"

namespace qendix_cli {

// Prints the status report on standard output; 0, or 4 when the component gives none.
int RunStatus(qx::IQendix* component, bool json);

// Prints `report` of an IQendixInspect call that returned `hr`: 0 for S_OK, 1 for S_FALSE, 4 (with
// a line on standard error naming `what`) for a failure.
int PrintReport(const char* what, qx::HRESULT hr, const qx::BStr& report);

}  // namespace qendix_cli
