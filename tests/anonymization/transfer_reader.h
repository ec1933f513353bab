// Reads a transfer document in tests: XPath queries with the prefixes q (transfer namespace) and
// i (XML invoice namespace of version 4.0) and n (of versions 4.4, 4.5, 5.0).
#pragma once

#include <libxml/tree.h>

#include <memory>
#include <string>
#include <vector>

namespace qx::testing {

class TransferReader {
 public:
  // Parses `document`; Ok() is false when it is not well-formed.
  explicit TransferReader(const std::string& document);
  bool Ok() const { return doc_ != nullptr; }
  xmlDoc* Doc() const { return doc_.get(); }

  // The string values of the nodes that `xpath` selects, in document order.
  std::vector<std::string> Values(const std::string& xpath) const;
  // The first of them, or "<none>".
  std::string Value(const std::string& xpath) const;
  // The nodes themselves (valid while the reader lives).
  std::vector<xmlNode*> Nodes(const std::string& xpath) const;

 private:
  std::unique_ptr<xmlDoc, void (*)(xmlDoc*)> doc_;
};

}  // namespace qx::testing
