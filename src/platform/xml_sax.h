// Namespace-aware SAX parsing of untrusted XML with libxml2, the one XML reader of the component's
// streaming readers (invoices, transfer documents, the Trust Center directory).
//
// Documents from outside are hostile: they are parsed without network access, without loading a
// DTD or any external entity, with libxml2's limits in force, no entity declared in a document is
// ever expanded (a reference to one makes the document fail), and nesting deeper than 256 levels
// fails. Only element starts are passed on, which is all the readers need. Nothing here changes
// libxml2's process-wide settings beyond its one-time initialisation.
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qx {

// One attribute of an element start (UTF-8); `namespaceUri` is empty for an attribute without
// namespace. The views are valid only during the call.
struct XmlAttribute {
  std::string_view namespaceUri;
  std::string_view localName;
  std::string_view value;
};

class XmlStartElementHandler {
 public:
  // `namespaceUri` is empty for an element without namespace.
  virtual void StartElement(std::string_view namespaceUri, std::string_view localName,
                            std::span<const XmlAttribute> attributes) = 0;
  // The end of the element whose start was delivered last and is still open. Must not throw.
  virtual void EndElement() {}

 protected:
  ~XmlStartElementHandler() = default;
};

// The value of the attribute `localName` without namespace, if the element has one.
std::optional<std::string_view> FindAttribute(std::span<const XmlAttribute> attributes,
                                              std::string_view localName);

// Parses the regular file at `path` (at most `max_bytes`; a link is not followed). True when the
// document is well-formed and namespace well-formed; element starts seen before an error have
// been delivered all the same. `*readError` (may be null) becomes the errno value when the file
// could not be opened or read, or memory for reading it was short (ENOMEM), so that a caller can
// tell a file it could not read from one that is no such document; 0 otherwise.
bool ParseXmlFile(const std::string& path, XmlStartElementHandler& handler,
                  size_t max_bytes = std::numeric_limits<size_t>::max(), int* readError = nullptr);

// The same for a document in memory.
bool ParseXmlMemory(std::string_view document, XmlStartElementHandler& handler);

// Initialises libxml2 once per process; safe to call from any thread.
void InitXmlLibrary();

}  // namespace qx
