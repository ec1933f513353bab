// Recognises a file by its first four bytes, never by its name.
#pragma once

#include <string>

namespace qx {

enum FileKind : int32_t { fkOther = 0, fkXml = 1, fkGni = 2, fkPdf = 3 };

// Opens `path`, reads four bytes and compares them: UTF-8 byte-order mark + "<" or "<?xm" is XML,
// "[DEB" is GNI, "%PDF" is PDF. Anything else, a shorter file or one that cannot be opened is
// fkOther. `*readError` (may be null) tells the last case apart: the errno value when the file
// could not be opened or read (not for a file that is gone, ENOENT, or a link, ELOOP, which are
// simply no invoice files), else 0. No side effects besides opening and closing the file.
FileKind ClassifyFile(const std::string& path, int* readError = nullptr);

}  // namespace qx
