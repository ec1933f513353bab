// The module's own folder (settings file, sent-invoice register, Trust Center directory cache)
// and the folder of the loaded library (or program) that holds this code. The rule that picks
// the module folder is in platform/module_folder.h: QENDIX_MODULE_DIR when set, else beside the
// library for a build run where it was built, else a per-user folder.
#pragma once

#include <string>

namespace qx {

// The module folder, without a trailing slash. Read afresh at each call.
std::string ModuleDirectory();

// The folder of the library (or program) that holds this code, without a trailing slash.
std::string LibraryDirectory();

// Whether this code runs where it was built (inside its build folder), not from an installation.
bool RunsFromBuildTree();

// The Trust Center directory shipped with this build or installation (may not exist).
std::string ShippedCenterDirectory();

}  // namespace qx
