// The module's own folder: QENDIX_MODULE_DIR when set, else the folder of the loaded library
// (or program) that holds this code. The settings file, the sent-invoice register and the Trust
// Center directory cache lie there.
#pragma once

#include <string>

namespace qx {

// The folder, without a trailing slash. Read afresh at each call.
std::string ModuleDirectory();

}  // namespace qx
