// The reading side of the Trust Center's XML-RPC calls: a reply parsed with libxml2 and the three
// things the client takes from it (a fault, the strings of a struct, the input gate's event list).
//
// Replies come from the network and are hostile: they are parsed without network access, without
// loading a DTD, and a reply that declares a document type is refused outright, so no entity it
// declares can ever be expanded. A reply that cannot be read is an empty document: it holds no
// fault, no strings and no event list. Whitespace-only text between elements is dropped, so a
// pretty-printed reply reads like a compact one.
//
// An XmlReply owns its libxml2 document; it is movable, not copyable, and read by one thread.
#pragma once

#include <libxml/tree.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qx {

// A fault reply: its code (the decimal number at the start of the code text, 0 when there is
// none) and its fault string (absent when the reply names none).
struct XmlRpcFault {
  int32_t code = 0;
  std::optional<std::string> message;
};

// One event of the input gate's list, relayed as it came: the four numbers read from the start
// of their texts, the file name and message absent when the gate's array is shorter than six.
struct GateEvent {
  int32_t level = 0;
  int32_t mclass = 0;
  int32_t origin = 0;
  int32_t code = 0;
  std::optional<std::string> fileName;
  std::optional<std::string> message;
};

class XmlReply {
 public:
  XmlReply();  // an empty reply
  ~XmlReply();
  XmlReply(XmlReply&&) noexcept;
  XmlReply& operator=(XmlReply&&) noexcept;
  XmlReply(const XmlReply&) = delete;
  XmlReply& operator=(const XmlReply&) = delete;

  // Parses the reply body (its encoding as declared, UTF-8 by default). Never fails: a body that
  // is not well-formed, or has a document type declaration, gives an empty reply.
  static XmlReply Parse(std::string_view body);

  // True when the body could not be read (or was never given).
  bool empty() const { return doc_ == nullptr; }

  // The text content (UTF-8) of every node that `xpath` selects, in document order; empty when
  // nothing matches or the reply is empty. The expression has no namespace prefixes.
  std::vector<std::string> SelectTexts(const char* xpath) const;

  // The fault of a fault reply: the texts of "/methodResponse/fault/value/struct/member/value",
  // the first the code, the second (if any) the fault string. Absent when the reply is no fault.
  std::optional<XmlRpcFault> Fault() const;

  // The texts of "/methodResponse/params/param/value/struct/member/value/string" in document
  // order (member names are not looked at): the session id and gate URL of a new session, the
  // newest build and its download address of the version query.
  std::vector<std::string> StructStrings() const;

  // The input gate's event list: each "data" of
  // "/methodResponse/params/param/value/array/data/value/array/data" is one event, its first
  // six "value" children level, class, origin, code, file name and message. Absent when the
  // reply carries no list at all ("/methodResponse/params/param/value/array/data" missing); an
  // empty list is an empty vector.
  std::optional<std::vector<GateEvent>> EventList() const;

 private:
  explicit XmlReply(xmlDoc* doc) : doc_(doc) {}
  xmlDoc* doc_ = nullptr;
};

// The 32-bit integer at the start of `text` as atoi reads it (LeadingNumber), clamped to the
// 32-bit range; 0 when no digit follows.
int32_t LeadingInt32(std::string_view text);

}  // namespace qx
