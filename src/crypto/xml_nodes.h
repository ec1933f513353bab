// The XML values that pass between the anonymization transform and the code object: a list of
// nodes handed to ICode::Encrypt (each node as its serialised XML text, the way a DOM node list
// offers them) and the document that Encrypt returns for a payment-slip coding line.
//
// Objects are reference counted. A node list is read by one thread; a document is immutable
// after creation, so several threads may read it.
#pragma once

#include <libxml/tree.h>

#include <string>
#include <string_view>
#include <vector>

#include "qendix/com.h"

namespace qx {

// One node of a list: its XML text.
struct IXmlNode : IUnknown {
  static constexpr Guid kIid = Guid::Parse("{7A0F3C52-1B6E-4E8D-9C21-3F5B8D6A0E01}");
  // Elements: their serialisation with the namespace declarations they need; attributes:
  // name="escaped value"; text: the escaped text; a document or fragment: its children.
  virtual HRESULT get_xml(BStr* xml) = 0;

 protected:
  ~IXmlNode() = default;
};

// A list of nodes walked once, in order.
struct IXmlNodeList : IUnknown {
  static constexpr Guid kIid = Guid::Parse("{7A0F3C52-1B6E-4E8D-9C21-3F5B8D6A0E02}");
  // S_OK and the next node, or S_FALSE and null after the last one.
  virtual HRESULT nextNode(IXmlNode** node) = 0;

 protected:
  ~IXmlNodeList() = default;
};

// A parsed XML document. The object owns the libxml2 document; Document() lends it for reading
// (for instance to copy its nodes into a transform's output) for as long as a reference is held.
struct IXmlDocument : IUnknown {
  static constexpr Guid kIid = Guid::Parse("{7A0F3C52-1B6E-4E8D-9C21-3F5B8D6A0E03}");
  // The document's nodes serialised, without an XML declaration; empty for an empty document.
  virtual HRESULT get_xml(BStr* xml) = 0;
  // Never null; an empty document has no root element.
  virtual xmlDoc* Document() = 0;

 protected:
  ~IXmlDocument() = default;
};

// Serialises one libxml2 node as IXmlNode::get_xml describes.
std::string SerializeXmlNode(const xmlNode* node);

// Appends `text` with "&", "<" and ">" escaped, and '"' too for an attribute value. A control
// character that XML does not allow (below 0x20, but for tab, LF and CR) becomes "?". Works on
// the bytes of any ASCII-compatible encoding.
void AppendXmlEscaped(std::string& out, std::string_view text, bool attribute = true);

// A node list holding the XML texts of `nodes`, serialised now (the nodes need not outlive it).
RefPtr<IXmlNodeList> MakeXmlNodeList(const std::vector<const xmlNode*>& nodes);
// A node list of ready-made XML texts.
RefPtr<IXmlNodeList> MakeXmlNodeListFromTexts(std::vector<std::string> texts);

// Parses `text` (UTF-8) without network access, DTD loading or entity substitution. Text that
// is not well-formed gives an empty document with S_OK, as a DOM's loadXML does;
// E_OUTOFMEMORY when no document can be made.
HRESULT LoadXmlDocument(std::string_view text, RefPtr<IXmlDocument>* document);

}  // namespace qx
