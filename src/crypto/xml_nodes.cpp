#include "crypto/xml_nodes.h"

#include <libxml/parser.h>

#include <climits>
#include <memory>
#include <utility>

#include "platform/call_guard.h"

namespace qx {
namespace {

std::string NodeContent(const xmlNode* node) {
  xmlChar* content = xmlNodeGetContent(node);
  std::string text = content ? reinterpret_cast<const char*>(content) : "";
  xmlFree(content);
  return text;
}

std::string DumpNode(xmlDoc* doc, xmlNode* node) {
  std::unique_ptr<xmlBuffer, decltype(&xmlBufferFree)> buffer(xmlBufferCreate(), xmlBufferFree);
  if (!buffer) return {};
  if (xmlNodeDump(buffer.get(), doc, node, 0, 0) < 0) return {};
  return std::string(reinterpret_cast<const char*>(xmlBufferContent(buffer.get())),
                     static_cast<size_t>(xmlBufferLength(buffer.get())));
}

// An element copied into a document of its own, so that the copy declares every namespace it
// uses (declarations of ancestors are not part of the element itself).
std::string SerializeElement(const xmlNode* node) {
  std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> doc(xmlNewDoc(BAD_CAST "1.0"), xmlFreeDoc);
  if (!doc) return {};
  xmlNode* copy = xmlDocCopyNode(const_cast<xmlNode*>(node), doc.get(), 1);
  if (!copy) return {};
  xmlDocSetRootElement(doc.get(), copy);
  return DumpNode(doc.get(), copy);
}

class NodeText final : public ComObject<IXmlNode> {
 public:
  explicit NodeText(std::string xml) : xml_(std::move(xml)) {}
  HRESULT get_xml(BStr* xml) override {
    if (!xml) return E_POINTER;
    return GuardedCall([&] {
      *xml = xml_;
      return S_OK;
    });
  }

 private:
  ~NodeText() = default;
  std::string xml_;
};

class NodeTextList final : public ComObject<IXmlNodeList> {
 public:
  explicit NodeTextList(std::vector<std::string> texts) : texts_(std::move(texts)) {}
  HRESULT nextNode(IXmlNode** node) override {
    if (!node) return E_POINTER;
    *node = nullptr;
    if (next_ >= texts_.size()) return S_FALSE;
    return GuardedCall([&] {
      *node = new NodeText(texts_[next_]);
      ++next_;
      return S_OK;
    });
  }

 private:
  ~NodeTextList() = default;
  std::vector<std::string> texts_;
  size_t next_ = 0;
};

class XmlDocument final : public ComObject<IXmlDocument> {
 public:
  explicit XmlDocument(xmlDoc* doc) : doc_(doc) {}
  HRESULT get_xml(BStr* xml) override {
    if (!xml) return E_POINTER;
    std::string text;
    for (xmlNode* child = doc_->children; child; child = child->next) text += DumpNode(doc_, child);
    *xml = std::move(text);
    return S_OK;
  }
  xmlDoc* Document() override { return doc_; }

 private:
  ~XmlDocument() { xmlFreeDoc(doc_); }
  xmlDoc* doc_;
};

}  // namespace

void AppendXmlEscaped(std::string& out, std::string_view text, bool attribute) {
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        if (attribute)
          out += "&quot;";
        else
          out += c;
        break;
      default:
        // A control character but tab and the line ends is not allowed in an XML document, not
        // even as a reference: it becomes "?", so that the document stays well-formed.
        out +=
            static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r' ? '?' : c;
    }
  }
}

std::string SerializeXmlNode(const xmlNode* node) {
  if (!node) return {};
  std::string out;
  switch (node->type) {
    case XML_ELEMENT_NODE:
      return SerializeElement(node);
    case XML_ATTRIBUTE_NODE:
      if (node->ns && node->ns->prefix) {
        out += reinterpret_cast<const char*>(node->ns->prefix);
        out += ':';
      }
      out += reinterpret_cast<const char*>(node->name);
      out += "=\"";
      AppendXmlEscaped(out, NodeContent(node), true);
      out += '"';
      return out;
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
      AppendXmlEscaped(out, NodeContent(node), false);
      return out;
    case XML_DOCUMENT_NODE:
    case XML_HTML_DOCUMENT_NODE:
    case XML_DOCUMENT_FRAG_NODE:
      // Result tree fragments of the transform arrive as document nodes.
      for (const xmlNode* child = node->children; child; child = child->next)
        out += SerializeXmlNode(child);
      return out;
    default:
      return DumpNode(node->doc, const_cast<xmlNode*>(node));
  }
}

RefPtr<IXmlNodeList> MakeXmlNodeList(const std::vector<const xmlNode*>& nodes) {
  std::vector<std::string> texts;
  texts.reserve(nodes.size());
  for (const xmlNode* node : nodes) texts.push_back(SerializeXmlNode(node));
  return MakeXmlNodeListFromTexts(std::move(texts));
}

RefPtr<IXmlNodeList> MakeXmlNodeListFromTexts(std::vector<std::string> texts) {
  return RefPtr<IXmlNodeList>::Adopt(new (std::nothrow) NodeTextList(std::move(texts)));
}

HRESULT LoadXmlDocument(std::string_view text, RefPtr<IXmlDocument>* document) {
  if (!document) return E_POINTER;
  document->Reset();
  xmlDoc* doc = nullptr;
  if (!text.empty() && text.size() <= static_cast<size_t>(INT_MAX)) {
    doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, "UTF-8",
                        XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  }
  if (!doc) doc = xmlNewDoc(BAD_CAST "1.0");
  if (!doc) return E_OUTOFMEMORY;
  auto* object = new (std::nothrow) XmlDocument(doc);
  if (!object) {
    xmlFreeDoc(doc);
    return E_OUTOFMEMORY;
  }
  *document = RefPtr<IXmlDocument>::Adopt(object);
  return S_OK;
}

}  // namespace qx
