// The command `preview FILE [--json]`: what would leave the practice for one invoice
// (IQendixInspect::Preview). Nothing is sent and the file is not moved.
#pragma once

#include <string>

#include "qendix/qendix.h"

namespace qendix_cli {

// Prints the preview of `file` on standard output; 0 when its transfer document was made, 1 when
// the invoice was refused or could not be anonymized (the report says why), 4 when no preview
// could be made.
int RunPreview(qx::IQendix* component, const std::string& file, bool json);

}  // namespace qendix_cli
