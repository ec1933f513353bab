// Replacing a file's contents so that readers and crashes see either the old or the new file,
// never a part of one.
#pragma once

#include <string>
#include <string_view>

namespace qx {

// Writes `content` to a new temporary file in the folder of `path`, flushes it to the disk and
// renames it over `path`. The new file takes the permission bits of the file it replaces
// (0600 when there was none). On failure the temporary file is removed, `path` is untouched,
// `*error` (if not null) receives the errno value of the failing call and the result is false.
bool ReplaceFileContents(const std::string& path, std::string_view content, int* error);

}  // namespace qx
