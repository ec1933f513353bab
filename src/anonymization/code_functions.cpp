#include "anonymization/code_functions.h"

#include <libxml/xpathInternals.h>
#include <libxslt/extensions.h>
#include <libxslt/xsltutils.h>

#include <memory>
#include <string>
#include <utility>

#include "platform/call_guard.h"
#include "platform/ole_date.h"

namespace qx {
namespace {

struct XPathObjectFree {
  void operator()(xmlXPathObjectPtr object) const { xmlXPathFreeObject(object); }
};
using XPathObject = std::unique_ptr<xmlXPathObject, XPathObjectFree>;

struct XmlFree {
  void operator()(xmlChar* text) const { xmlFree(text); }
};

// Pops the top of the XPath stack as a string (any value converts).
HRESULT PopString(xmlXPathParserContextPtr parser, std::string* text) {
  std::unique_ptr<xmlChar, XmlFree> value(xmlXPathPopString(parser));
  if (parser->error != XPATH_EXPRESSION_OK) return E_INVALIDARG;
  if (!value) return E_OUTOFMEMORY;
  *text = reinterpret_cast<const char*>(value.get());
  return S_OK;
}

int Digits(std::string_view text) {
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

Date BirthDateFromText(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return 0;
  CalendarTime time;
  time.year = Digits(text.substr(0, 4));
  time.month = Digits(text.substr(5, 2));
  time.day = Digits(text.substr(8, 2));
  if (time.year < 0 || time.month < 0 || time.day < 0) return 0;
  Date date = 0;
  if (!DateFromCalendar(time, &date)) return 0;
  return date;
}

CodeFunctions::CodeFunctions(RefPtr<ICode> code) : code_(std::move(code)) {}

bool CodeFunctions::Register(xsltTransformContextPtr context) {
  context->_private = this;
  const auto* uri = reinterpret_cast<const xmlChar*>(kCodeNamespace);
  return xsltRegisterExtFunction(context, BAD_CAST "get-Person", uri, &PersonEntry) == 0 &&
         xsltRegisterExtFunction(context, BAD_CAST "Encrypt", uri, &EncryptEntry) == 0;
}

void CodeFunctions::PersonEntry(xmlXPathParserContextPtr parser, int nargs) {
  Run(parser, "get-Person", [&](CodeFunctions& self, xmlXPathObjectPtr* value) {
    return self.Person(parser, nargs, value);
  });
}

void CodeFunctions::EncryptEntry(xmlXPathParserContextPtr parser, int nargs) {
  Run(parser, "Encrypt", [&](CodeFunctions& self, xmlXPathObjectPtr* value) {
    return self.Encrypt(parser, nargs, value);
  });
}

template <typename Call>
void CodeFunctions::Run(xmlXPathParserContextPtr parser, const char* name, Call call) {
  xsltTransformContextPtr context = xsltXPathGetTransformContext(parser);
  auto* self = context ? static_cast<CodeFunctions*>(context->_private) : nullptr;
  if (!self) {
    xmlXPathErr(parser, XPATH_UNKNOWN_FUNC_ERROR);
    return;
  }
  xmlXPathObjectPtr value = nullptr;
  // No exception may leave this frame: libxslt and libxml2 are C.
  HRESULT hr = GuardedCall([&] { return call(*self, &value); });
  if (Failed(hr) || !value) {
    xmlXPathFreeObject(value);
    self->Fail(context, name, Failed(hr) ? hr : E_OUTOFMEMORY);
    // The expression still gets its value, so that libxslt's stack stays balanced while it
    // unwinds the stopped transform.
    value = xmlXPathNewCString("");
  }
  valuePush(parser, value);
}

HRESULT CodeFunctions::Person(xmlXPathParserContextPtr parser, int nargs,
                              xmlXPathObjectPtr* value) {
  if (nargs != 4) return E_INVALIDARG;
  std::string args[4];  // first name, last name, birth date, postal code
  for (int i = 3; i >= 0; --i) {
    HRESULT hr = PopString(parser, &args[i]);
    if (Failed(hr)) return hr;
  }
  BStr id;
  HRESULT hr = code_->get_Person(BStr(args[0]), BStr(args[1]), BirthDateFromText(args[2]),
                                 Variant(args[3]), &id);
  if (Failed(hr)) return hr;
  *value = xmlXPathNewString(reinterpret_cast<const xmlChar*>(id.value_or("").c_str()));
  return *value ? S_OK : E_OUTOFMEMORY;
}

HRESULT CodeFunctions::Encrypt(xmlXPathParserContextPtr parser, int nargs,
                               xmlXPathObjectPtr* value) {
  if (nargs != 1) return E_INVALIDARG;
  XPathObject argument(valuePop(parser));
  // Only node sets and result tree fragments are node lists; anything else is refused, as the
  // code object refuses an object that is no node list.
  if (!argument || (argument->type != XPATH_NODESET && argument->type != XPATH_XSLT_TREE))
    return E_FAIL;

  // The first node in document order; only it is ever encrypted.
  std::vector<const xmlNode*> nodes;
  xmlNodeSetPtr set = argument->nodesetval;
  if (set && set->nodeNr > 0) {
    xmlXPathNodeSetSort(set);
    const xmlNode* first = set->nodeTab[0];
    if (first->type == XML_NAMESPACE_DECL) return E_INVALIDARG;  // not a node of the tree
    nodes.push_back(first);
  }
  RefPtr<IXmlNodeList> list = MakeXmlNodeList(nodes);
  if (!list) return E_OUTOFMEMORY;

  Variant result;
  HRESULT hr = code_->Encrypt(list.Get(), &result);
  if (Failed(hr)) return hr;

  if (const std::string* text = result.TryString()) {
    *value = xmlXPathNewString(reinterpret_cast<const xmlChar*>(text->c_str()));
    return *value ? S_OK : E_OUTOFMEMORY;
  }
  if (IUnknown* object = result.TryObject()) {
    RefPtr<IXmlDocument> document = RefPtr<IUnknown>::Share(object).As<IXmlDocument>();
    if (!document) return E_UNEXPECTED;
    documents_.push_back(document);
    xmlNodeSetPtr elements = xmlXPathNodeSetCreate(nullptr);
    if (!elements) return E_OUTOFMEMORY;
    for (xmlNode* child = document->Document()->children; child; child = child->next) {
      if (xmlXPathNodeSetAdd(elements, child) != 0) {
        xmlXPathFreeNodeSet(elements);
        return E_OUTOFMEMORY;
      }
    }
    *value = xmlXPathWrapNodeSet(elements);
    if (!*value) xmlXPathFreeNodeSet(elements);
    return *value ? S_OK : E_OUTOFMEMORY;
  }
  // An empty node list: nothing was encrypted.
  *value = xmlXPathNewCString("");
  return *value ? S_OK : E_OUTOFMEMORY;
}

void CodeFunctions::Fail(xsltTransformContextPtr context, const char* name, HRESULT hr) {
  if (Succeeded(failure_)) failure_ = hr;
  xsltTransformError(context, nullptr, nullptr, "code:%s failed with 0x%08X\n", name,
                     static_cast<unsigned>(hr));
  context->state = XSLT_STATE_STOPPED;
}

}  // namespace qx
