// Text written into a GNI transfer document. The document declares ISO-8859-1 and carries the
// invoice's Windows-1252 bytes unchanged, so values that the component holds as UTF-8 (the
// recipient list, the file name, the generator text, the XML of attachment elements) are written
// as Windows-1252 bytes too. Stateless functions; thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace qx {

// Appends `utf8` as Windows-1252 bytes. A character without a Windows-1252 byte becomes a
// character reference ("&#x3A9;"), so that a reader of the document still gets it; a malformed
// UTF-8 sequence becomes "?". Nothing is escaped, so `utf8` must be XML text already.
void AppendDocumentBytes(std::string& out, std::string_view utf8);

// Appends `utf8` as the value of an attribute written between double quotes ("&", "<", ">" and
// '"' as entities, tab, LF and CR as character references) or, with attribute false, as element
// content ("&", "<", ">" as entities). Control characters that XML cannot carry become "?".
// Characters are written as AppendDocumentBytes writes them.
void AppendXmlValue(std::string& out, std::string_view utf8, bool attribute);

// The bytes as a write in text mode stores them: every LF becomes CR LF.
std::string WithCrLf(std::string_view text);

}  // namespace qx
