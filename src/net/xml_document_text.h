// Reads an XML file for upload: the file is parsed with libxml2 and its serialisation returned
// as UTF-8, so only a well-formed document is ever sent and it travels in the encoding of the
// request body whatever encoding the file declares (a transfer document made from a GNI invoice
// declares ISO-8859-1).
#pragma once

#include <cstddef>
#include <string>

namespace qx {

// Largest file LoadXmlFileAsUtf8 reads.
inline constexpr size_t kMaxUploadDocumentBytes = 64u << 20;

// Fills `text` with the document of the regular file at `path` serialised as UTF-8, beginning
// with the declaration `<?xml version="1.0" encoding="UTF-8"?>`. False (and `text` empty) when
// the file cannot be opened (a symbolic link is not followed), is not a regular file, is larger
// than `max_bytes`, is not well-formed or namespace well-formed, or declares a document type
// (nothing from a DTD is loaded or expanded). The file is parsed without network access.
bool LoadXmlFileAsUtf8(const std::string& path, std::string* text,
                       size_t max_bytes = kMaxUploadDocumentBytes);

}  // namespace qx
