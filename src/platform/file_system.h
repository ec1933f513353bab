// File-system operations the steps need, with the guarantees the work directory relies on:
// a move never overwrites a file that is there (also under races), and files that others read
// are replaced atomically. Failures return false and leave errno in the thread's last error
// (last_error.h).
#pragma once

#include <string>
#include <vector>

namespace qx {

// Joins a folder and a name with one "/".
std::string JoinPath(const std::string& folder, const std::string& name);

// The part after the last "/".
std::string BaseName(const std::string& path);

bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);
// An existing folder that this process may read and write.
bool IsUsableDirectory(const std::string& path);

// Creates one folder level (mode 0777 less umask). True when it was created or already exists.
bool CreateDirectoryLevel(const std::string& path);

// Moves `from` to `to` without ever replacing an existing `to`, across file systems too (copy,
// then publish under the target name with a no-replace link, then remove the source).
// False with EEXIST when the target exists.
bool MoveFileNoReplace(const std::string& from, const std::string& to);

// Writes `content` to `path` atomically: a temporary file beside it, flushed to disk, renamed
// over the old file. A replaced file keeps its permissions; `mode` is a new file's permission.
bool WriteFileAtomically(const std::string& path, const std::string& content, unsigned mode = 0644);

// Reads a whole file of at most `max_bytes`; false when it cannot be read or is larger.
bool ReadFileLimited(const std::string& path, size_t max_bytes, std::string* content);

// Entries of a folder that are regular files and not hidden (name not starting with "."), in the
// order the directory returns them. Directories, links and special files are left out.
bool ListRegularFiles(const std::string& folder, std::vector<std::string>* names);

// True when another process (or this one) holds `path` open for writing, as far as the kernel can
// tell (a read lease is refused). False when it cannot tell.
bool IsOpenForWriting(const std::string& path);

}  // namespace qx
