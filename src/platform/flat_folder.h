// Removal of whole day folders and single files below a folder, for the retention of old
// invoices and logs. Every operation works on descriptors: the folder it starts from and the
// entry it removes are opened without following a symbolic link, and an entry is judged by
// what it is itself (lstat), so a link planted anywhere is never followed and what it points
// to is never touched.
//
// Results as in file_system.h: S_OK or the errno value of the first failure (facility 7).
// Thread-safe as far as the file system is.
#pragma once

#include <string>
#include <vector>

#include "qendix/com.h"

namespace qx {

// The names in `folder` (not "." and ".."), in directory order. ELOOP when `folder` itself is a
// symbolic link, ENOTDIR when it is no folder, ENOENT when it does not exist.
HRESULT ListFolderNames(const std::string& folder, std::vector<std::string>* names);

// Removes the folder `name` in `parent` together with its files, when it is a folder (not a
// link) that holds nothing but regular files: first every file, then the folder. It removes
// nothing at all, and fails with ENOTEMPTY, when the folder holds anything else (a folder, a
// link, a device); ELOOP when `name` is a link, ENOTDIR when it is no folder. A file that
// appears meanwhile makes the last step fail with ENOTEMPTY and stays. `*removedFiles` counts
// the files removed, also on a failure. The parent is flushed to disk after a removal.
HRESULT RemoveFlatFolder(const std::string& parent, const std::string& name, int* removedFiles);

// Removes `name` in `parent` when it is a regular file (not a link): ELOOP for a link, EINVAL
// for anything else that is not a regular file. The parent is flushed to disk afterwards.
HRESULT RemoveRegularFileIn(const std::string& parent, const std::string& name);

}  // namespace qx
