#include "anonymization/transfer_reader.h"

#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include "formats/xml_namespaces.h"

namespace qx::testing {

TransferReader::TransferReader(const std::string& document)
    : doc_(xmlReadMemory(document.data(), static_cast<int>(document.size()), nullptr, nullptr,
                         XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
           xmlFreeDoc) {}

std::vector<xmlNode*> TransferReader::Nodes(const std::string& xpath) const {
  std::vector<xmlNode*> nodes;
  if (!doc_) return nodes;
  std::unique_ptr<xmlXPathContext, void (*)(xmlXPathContext*)> context(
      xmlXPathNewContext(doc_.get()), xmlXPathFreeContext);
  xmlXPathRegisterNs(context.get(), BAD_CAST "q", BAD_CAST std::string(kTransferNamespace).c_str());
  xmlXPathRegisterNs(context.get(), BAD_CAST "i", BAD_CAST std::string(kInvoiceNamespace).c_str());
  xmlXPathRegisterNs(context.get(), BAD_CAST "n",
                     BAD_CAST std::string(kCurrentInvoiceNamespace).c_str());
  std::unique_ptr<xmlXPathObject, void (*)(xmlXPathObject*)> result(
      xmlXPathEvalExpression(BAD_CAST xpath.c_str(), context.get()), xmlXPathFreeObject);
  if (!result || !result->nodesetval) return nodes;
  for (int i = 0; i < result->nodesetval->nodeNr; ++i)
    nodes.push_back(result->nodesetval->nodeTab[i]);
  return nodes;
}

std::vector<std::string> TransferReader::Values(const std::string& xpath) const {
  std::vector<std::string> values;
  for (xmlNode* node : Nodes(xpath)) {
    xmlChar* text = xmlNodeGetContent(node);
    values.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
    xmlFree(text);
  }
  return values;
}

std::string TransferReader::Value(const std::string& xpath) const {
  std::vector<std::string> values = Values(xpath);
  return values.empty() ? "<none>" : values.front();
}

}  // namespace qx::testing
