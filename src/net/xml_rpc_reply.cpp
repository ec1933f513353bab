#include "net/xml_rpc_reply.h"

#include <libxml/parser.h>
#include <libxml/xpath.h>

#include <algorithm>
#include <climits>
#include <utility>

#include "net/center_directory.h"
#include "platform/quiet_libxml_errors.h"
#include "platform/xml_sax.h"

namespace qx {
namespace {

using XPathContext = std::unique_ptr<xmlXPathContext, decltype(&xmlXPathFreeContext)>;
using XPathObject = std::unique_ptr<xmlXPathObject, decltype(&xmlXPathFreeObject)>;

std::string NodeText(const xmlNode* node) {
  xmlChar* content = xmlNodeGetContent(node);
  std::string text = content ? reinterpret_cast<const char*>(content) : "";
  xmlFree(content);
  return text;
}

// The nodes `xpath` selects below `context_node` (the document when null), in document order.
std::vector<xmlNode*> Select(xmlDoc* doc, const char* xpath, xmlNode* context_node = nullptr) {
  std::vector<xmlNode*> nodes;
  if (!doc) return nodes;
  XPathContext context(xmlXPathNewContext(doc), xmlXPathFreeContext);
  if (!context) return nodes;
  if (context_node) context->node = context_node;
  XPathObject result(xmlXPathEvalExpression(BAD_CAST xpath, context.get()), xmlXPathFreeObject);
  if (!result || result->type != XPATH_NODESET || !result->nodesetval) return nodes;
  const xmlNodeSet* set = result->nodesetval;
  nodes.reserve(static_cast<size_t>(set->nodeNr));
  for (int i = 0; i < set->nodeNr; ++i) nodes.push_back(set->nodeTab[i]);
  return nodes;
}

}  // namespace

XmlReply::XmlReply() = default;

XmlReply::~XmlReply() {
  if (doc_) xmlFreeDoc(doc_);
}

XmlReply::XmlReply(XmlReply&& other) noexcept : doc_(std::exchange(other.doc_, nullptr)) {}

XmlReply& XmlReply::operator=(XmlReply&& other) noexcept {
  if (this != &other) {
    if (doc_) xmlFreeDoc(doc_);
    doc_ = std::exchange(other.doc_, nullptr);
  }
  return *this;
}

XmlReply XmlReply::Parse(std::string_view body) {
  InitXmlLibrary();
  if (body.empty() || body.size() > static_cast<size_t>(INT_MAX)) return XmlReply();
  QuietLibxmlErrors quiet;
  // No network, no DTD loading, no entity substitution; blank text between elements dropped.
  xmlDoc* doc = xmlReadMemory(body.data(), static_cast<int>(body.size()), nullptr, nullptr,
                              XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING |
                                  XML_PARSE_NOBLANKS | XML_PARSE_NOCDATA);
  if (!doc) return XmlReply();
  if (doc->intSubset || doc->extSubset || !xmlDocGetRootElement(doc)) {
    xmlFreeDoc(doc);
    return XmlReply();
  }
  return XmlReply(doc);
}

std::vector<std::string> XmlReply::SelectTexts(const char* xpath) const {
  std::vector<std::string> texts;
  for (const xmlNode* node : Select(doc_, xpath)) texts.push_back(NodeText(node));
  return texts;
}

std::optional<XmlRpcFault> XmlReply::Fault() const {
  std::vector<std::string> texts = SelectTexts("/methodResponse/fault/value/struct/member/value");
  if (texts.empty()) return std::nullopt;
  XmlRpcFault fault;
  fault.code = LeadingInt32(texts[0]);
  if (texts.size() > 1) fault.message = std::move(texts[1]);
  return fault;
}

std::vector<std::string> XmlReply::StructStrings() const {
  return SelectTexts("/methodResponse/params/param/value/struct/member/value/string");
}

std::optional<std::vector<GateEvent>> XmlReply::EventList() const {
  if (Select(doc_, "/methodResponse/params/param/value/array/data").empty()) return std::nullopt;
  std::vector<GateEvent> events;
  for (xmlNode* data :
       Select(doc_, "/methodResponse/params/param/value/array/data/value/array/data")) {
    std::vector<std::optional<std::string>> values(6);
    size_t count = 0;
    for (const xmlNode* value : Select(doc_, "value", data)) {
      if (count == values.size()) break;
      values[count++] = NodeText(value);
    }
    GateEvent event;
    event.level = LeadingInt32(values[0].value_or(""));
    event.mclass = LeadingInt32(values[1].value_or(""));
    event.origin = LeadingInt32(values[2].value_or(""));
    event.code = LeadingInt32(values[3].value_or(""));
    event.fileName = std::move(values[4]);
    event.message = std::move(values[5]);
    events.push_back(std::move(event));
  }
  return events;
}

int32_t LeadingInt32(std::string_view text) {
  const long long value = LeadingNumber(std::string(text));
  return static_cast<int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

}  // namespace qx
