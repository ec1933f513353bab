// Where the module folder (settings, sent-invoice register, Trust Center directory cache) lies,
// as a pure function of the folder of the loaded code and the environment. The library uses it
// for itself; the qendix command, which loads the library at run time, uses the same rule to
// name the folder in its messages.
//
//   QENDIX_MODULE_DIR set and not empty    that folder
//   code running inside its build folder   the folder of the library (a build run where it was
//                                           built keeps everything beside it)
//   an installed library                   per user: $XDG_CONFIG_HOME/qendix, else
//                                           $HOME/.config/qendix, else the passwd home's
//                                           .config/qendix
//
// Plain functions of C and the standard library only; thread-safe (they read the environment).
#pragma once

#include <string>

namespace qx {

// Whether `folder` lies inside the folder this code was built in (both resolved).
bool IsInBuildTree(const std::string& folder);

// The per-user module folder of an installed library; empty when no home is known.
std::string PerUserModuleFolder();

// The module folder for code loaded from `libraryFolder`, by the rule above; without a trailing
// slash.
std::string ModuleFolderFor(const std::string& libraryFolder);

// The Trust Center directory shipped with the code in `libraryFolder`: installed, the data
// folder's qendix/qendix.xml (found relative to the library folder); in the build folder, the
// copy beside the built library.
std::string ShippedCenterDirectoryFor(const std::string& libraryFolder);

// Creates the folders of `path` that are missing, each private (0700); folders that exist are
// left as they are. 0 on success (also when all exist), else the errno of the failing step
// (ENOTDIR when a part exists but is no folder).
int CreateMissingFolders(const std::string& path);

}  // namespace qx
