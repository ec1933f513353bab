// Fuzzes the Trust Center directory's reading of its cached centers document. A document the
// reader accepts is parsed again by libxml2's tree parser, and the centers, lookups, version and
// update address must be exactly those of its elements in the centers namespace (attributes
// without namespace only, a later center of the same label overriding the attributes it has).
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "net/center_directory.h"
#include "scratch.h"

namespace {

struct Expected {
  std::vector<std::string> labels;
  std::map<std::string, std::map<std::string, std::string>> fields;  // label -> name -> value
  std::string version, updateUrl;
};

// The value of the attribute `name` without namespace, if there is one.
bool Attribute(xmlNode* node, const char* name, std::string* value) {
  for (xmlAttr* a = node->properties; a; a = a->next) {
    if (a->ns || !xmlStrEqual(a->name, BAD_CAST name)) continue;
    xmlChar* text = xmlNodeListGetString(node->doc, a->children, 1);
    *value = text ? reinterpret_cast<const char*>(text) : "";
    xmlFree(text);
    return true;
  }
  return false;
}

void Collect(xmlNode* node, Expected* e) {
  for (; node; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    if (node->ns && xmlStrEqual(node->ns->href, BAD_CAST qx::kCentersNamespace)) {
      std::string value, label;
      if (xmlStrEqual(node->name, BAD_CAST "center") && Attribute(node, "label", &label)) {
        e->labels.push_back(label);
        for (const char* name : {"url", "ean", "esr", "esrPDF", "rcpt", "tel"})
          if (Attribute(node, name, &value)) e->fields[label][name] = value;
      } else if (xmlStrEqual(node->name, BAD_CAST "centers") &&
                 Attribute(node, "version", &value)) {
        e->version = value;
      } else if (xmlStrEqual(node->name, BAD_CAST "update") && Attribute(node, "url", &value)) {
        e->updateUrl = value;
      }
    }
    Collect(node->children, e);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  qx::CenterDirectory directory(fuzz::WriteScratch("qendix.xml", bytes));
  if (!directory.LoadCache()) return 0;
  if (!directory.LoadCache()) abort();  // a loaded cache stays loaded

  xmlDoc* doc = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr,
                              XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (!doc) abort();  // the directory accepted what is not well-formed
  Expected e;
  Collect(xmlDocGetRootElement(doc), &e);
  xmlFreeDoc(doc);

  if (directory.labels() != e.labels || directory.version() != e.version ||
      directory.updateUrl() != e.updateUrl)
    abort();
  for (const std::string& label : e.labels) {
    auto& f = e.fields[label];
    if (directory.Url(label) != f["url"] || directory.Ean(label) != f["ean"] ||
        directory.Esr(label) != f["esr"] || directory.EsrPdf(label) != f["esrPDF"] ||
        directory.Rcpt(label) != f["rcpt"] || directory.Tel(label) != f["tel"])
      abort();
  }
  return 0;
}
