// The module folder as the command sees it on a first run: made when --module-dir names a folder
// that does not exist, a notice when the library placed the shipped Trust Center directory there
// (or found none to place), and a read-back of the settings put with --set after the component
// stored them, so that the command never reports success for settings it did not store.
#pragma once

#include <string>
#include <vector>

#include "library.h"

namespace qendix_cli {

// Makes `dir` and its missing parents (private). False with a message in *error when it cannot
// be made or is not a folder.
bool PrepareModuleFolder(const std::string& dir, std::string* error);

// The module folder the loaded library uses (QENDIX_MODULE_DIR, beside a library run in its
// build folder, else the per-user folder).
std::string ModuleFolderOf(const Library& lib);

// Whether `folder` holds a Trust Center directory (qendix.xml).
bool HasCenterDirectory(const std::string& folder);

// Prints on stderr what became of the Trust Center directory of `folder`, which held none before
// the component was created: placed from the shipped default, or still missing.
void ReportDirectoryPlaced(const std::string& folder);

// Creates a fresh component (which loads the stored settings) and compares the last VALUE given
// for each NAME in `sets` (NAME=VALUE, checked already) with it. True when all match; else false
// with the first mismatch's name in *name.
bool SettingsWereStored(const Library& lib, const std::vector<std::string>& sets,
                        std::string* name);

}  // namespace qendix_cli
