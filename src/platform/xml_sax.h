// Namespace-aware SAX parsing of untrusted XML with libxml2: no network, no DTD loading, no
// external entities, entity expansion limits left on. Only start-element events are passed on,
// which is all the component's readers need.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qx {

struct XmlAttribute {
  std::string localName;
  std::string namespaceUri;  // empty for attributes without namespace
  std::string value;         // UTF-8
};

class XmlStartElementHandler {
 public:
  virtual void StartElement(std::string_view namespace_uri, std::string_view local_name,
                            const std::vector<XmlAttribute>& attributes) = 0;

 protected:
  ~XmlStartElementHandler() = default;
};

// Parses the file at `path` (at most `max_bytes`). True when the document is well-formed; events
// seen before an error have been delivered all the same.
bool ParseXmlFile(const std::string& path, XmlStartElementHandler& handler,
                  size_t max_bytes = 64u << 20);

// The same for a document in memory.
bool ParseXmlMemory(std::string_view document, XmlStartElementHandler& handler);

// Initialises libxml2 once per process and installs an external-entity loader that refuses every
// load. Called by the parse functions; safe to call from any thread.
void InitXmlLibrary();

}  // namespace qx
