// Recognises a file by its first four bytes, never by its name.
#pragma once

#include <string>

namespace qx {

enum FileKind : int32_t { fkOther = 0, fkXml = 1, fkGni = 2, fkPdf = 3 };

// Opens `path`, reads four bytes and compares them: UTF-8 byte-order mark + "<" or "<?xm" is XML,
// "[DEB" is GNI, "%PDF" is PDF. Anything else, a shorter file or one that cannot be opened is
// fkOther. No side effects besides opening and closing the file.
FileKind ClassifyFile(const std::string& path);

}  // namespace qx
