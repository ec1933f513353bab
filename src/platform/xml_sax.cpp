#include "platform/xml_sax.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>

#include <libxml/parser.h>
#include <libxml/parserInternals.h>

namespace qx {
namespace {

xmlParserInputPtr RefuseExternalEntity(const char*, const char*, xmlParserCtxtPtr) {
  return nullptr;
}

void IgnoreError(void*, const char*, ...) {}
void IgnoreStructuredError(void*, xmlErrorPtr) {}

void OnStartElement(void* ctx, const xmlChar* localname, const xmlChar*, const xmlChar* uri, int,
                    const xmlChar**, int nb_attributes, int, const xmlChar** attributes) {
  auto* parser = static_cast<xmlParserCtxtPtr>(ctx);
  auto* handler = static_cast<XmlStartElementHandler*>(parser->_private);
  std::vector<XmlAttribute> attrs;
  attrs.reserve(static_cast<size_t>(nb_attributes));
  for (int i = 0; i < nb_attributes; ++i) {
    const xmlChar** a = attributes + 5 * i;  // localname, prefix, URI, value, end
    XmlAttribute attr;
    attr.localName = reinterpret_cast<const char*>(a[0]);
    if (a[2]) attr.namespaceUri = reinterpret_cast<const char*>(a[2]);
    attr.value.assign(reinterpret_cast<const char*>(a[3]), static_cast<size_t>(a[4] - a[3]));
    attrs.push_back(std::move(attr));
  }
  handler->StartElement(uri ? reinterpret_cast<const char*>(uri) : "",
                        reinterpret_cast<const char*>(localname), attrs);
}

struct CtxtDeleter {
  void operator()(xmlParserCtxtPtr c) const {
    if (c->myDoc) xmlFreeDoc(c->myDoc);
    xmlFreeParserCtxt(c);
  }
};
using CtxtPtr = std::unique_ptr<xmlParserCtxt, CtxtDeleter>;

CtxtPtr NewContext(XmlStartElementHandler& handler) {
  InitXmlLibrary();
  xmlSAXHandler sax{};
  sax.initialized = XML_SAX2_MAGIC;
  sax.startElementNs = OnStartElement;
  sax.warning = IgnoreError;
  sax.error = IgnoreError;
  sax.fatalError = IgnoreError;
  sax.serror = IgnoreStructuredError;
  CtxtPtr ctxt(xmlCreatePushParserCtxt(&sax, nullptr, nullptr, 0, nullptr));
  if (!ctxt) return nullptr;
  ctxt->_private = &handler;
  // The SAX callbacks receive the parser context as their user data.
  ctxt->userData = ctxt.get();
  xmlCtxtUseOptions(ctxt.get(), XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  return ctxt;
}

bool Finish(xmlParserCtxtPtr ctxt) {
  xmlParseChunk(ctxt, nullptr, 0, 1);
  return ctxt->wellFormed != 0 && ctxt->errNo == 0;
}

}  // namespace

void InitXmlLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    xmlInitParser();
    xmlSetExternalEntityLoader(RefuseExternalEntity);
  });
}

bool ParseXmlFile(const std::string& path, XmlStartElementHandler& handler, size_t max_bytes) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::unique_ptr<int, void (*)(int*)> closer(&fd, [](int* f) { ::close(*f); });
  CtxtPtr ctxt = NewContext(handler);
  if (!ctxt) return false;
  char buffer[16384];
  size_t total = 0;
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    total += static_cast<size_t>(n);
    if (total > max_bytes) return false;
    if (xmlParseChunk(ctxt.get(), buffer, static_cast<int>(n), 0) != 0) return false;
  }
  return Finish(ctxt.get());
}

bool ParseXmlMemory(std::string_view document, XmlStartElementHandler& handler) {
  CtxtPtr ctxt = NewContext(handler);
  if (!ctxt) return false;
  size_t pos = 0;
  while (pos < document.size()) {
    size_t n = std::min<size_t>(document.size() - pos, 1 << 20);
    if (xmlParseChunk(ctxt.get(), document.data() + pos, static_cast<int>(n), 0) != 0) return false;
    pos += n;
  }
  return Finish(ctxt.get());
}

}  // namespace qx
