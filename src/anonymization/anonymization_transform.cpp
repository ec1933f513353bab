#include "anonymization/anonymization_transform.h"

#include <errno.h>
#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <libxslt/security.h>
#include <libxslt/transform.h>
#include <libxslt/variables.h>
#include <libxslt/xsltutils.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <utility>

#include "anonymization/anonymization_stylesheet.h"
#include "anonymization/code_functions.h"
#include "crypto/anonymizer_context.h"
#include "crypto/code_object.h"
#include "crypto/message_file.h"
#include "formats/xml_namespaces.h"
#include "platform/call_guard.h"
#include "platform/fault_injection.h"
#include "platform/unique_fd.h"
#include "platform/xml_sax.h"

namespace qx {
namespace {

// Longest error text kept from libxslt.
constexpr size_t kMaxErrorText = 1024;

// Keeps libxml2's own error messages (XPath, encodings, memory) off the host's standard error
// while this thread parses or transforms; libxml2 holds these handlers per thread, and the
// previous ones come back at the end.
class QuietXmlErrors {
 public:
  QuietXmlErrors()
      : generic_(xmlGenericError),
        genericContext_(xmlGenericErrorContext),
        structured_(xmlStructuredError),
        structuredContext_(xmlStructuredErrorContext) {
    xmlSetGenericErrorFunc(nullptr, &IgnoreMessage);
    xmlSetStructuredErrorFunc(nullptr, &IgnoreError);
  }
  ~QuietXmlErrors() {
    xmlSetGenericErrorFunc(genericContext_, generic_);
    xmlSetStructuredErrorFunc(structuredContext_, structured_);
  }
  QuietXmlErrors(const QuietXmlErrors&) = delete;
  QuietXmlErrors& operator=(const QuietXmlErrors&) = delete;

 private:
  static void IgnoreMessage(void*, const char*, ...) {}
  static void IgnoreError(void*, xmlErrorPtr) {}

  xmlGenericErrorFunc generic_;
  void* genericContext_;
  xmlStructuredErrorFunc structured_;
  void* structuredContext_;
};

// libxslt's messages of one transform, collected instead of printed.
void CollectError(void* context, const char* format, ...) {
  auto* text = static_cast<std::string*>(context);
  if (text->size() >= kMaxErrorText) return;
  char buffer[512];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (length <= 0) return;
  GuardedCall([&] {
    text->append(buffer, std::min(static_cast<size_t>(length), sizeof buffer - 1));
    if (text->size() > kMaxErrorText) text->resize(kMaxErrorText);
    return S_OK;
  });
}

// Reads the regular file at `path` without following a symbolic link and without blocking on a
// FIFO or device.
HRESULT ReadInvoiceFile(const std::string& path, std::string* bytes) {
  UniqueFd fd(sys::Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd.valid()) return HresultFromErrno(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return HresultFromErrno(errno);
  if (!S_ISREG(st.st_mode)) return HresultFromErrno(EINVAL);
  if (static_cast<unsigned long long>(st.st_size) > kMaxInvoiceBytes)
    return HresultFromErrno(EFBIG);
  bytes->clear();
  if (AllocationFault()) return E_OUTOFMEMORY;
  bytes->reserve(static_cast<size_t>(st.st_size));
  char block[65536];
  for (;;) {
    ssize_t got = sys::Read(fd.get(), block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return HresultFromErrno(errno);
    if (got == 0) break;
    if (bytes->size() + static_cast<size_t>(got) > kMaxInvoiceBytes)
      return HresultFromErrno(EFBIG);  // grew while being read
    bytes->append(block, static_cast<size_t>(got));
  }
  return S_OK;
}

// True when an entity reference is left in the tree (in content or in an attribute value):
// without entity substitution a declared entity stays a reference, whose text the stylesheet
// would neither see as text nor mask.
bool HasEntityReference(const xmlDoc* doc) {
  const xmlNode* node = doc->children;
  while (node) {
    if (node->type == XML_ENTITY_REF_NODE) return true;
    if (node->type == XML_ELEMENT_NODE) {
      for (const xmlAttr* attribute = node->properties; attribute; attribute = attribute->next)
        for (const xmlNode* part = attribute->children; part; part = part->next)
          if (part->type == XML_ENTITY_REF_NODE) return true;
      if (node->children) {
        node = node->children;
        continue;
      }
    }
    while (!node->next) {
      node = node->parent;
      if (!node || node == reinterpret_cast<const xmlNode*>(doc)) return false;
    }
    node = node->next;
  }
  return false;
}

// Parses an invoice: no network, no DTD loading, no entity substitution, libxml2's size and
// depth limits left on. Null unless the document is well-formed and namespace well-formed.
xmlDocPtr ParseInvoice(const std::string& bytes) {
  if (bytes.size() > static_cast<size_t>(INT_MAX)) return nullptr;
  std::unique_ptr<xmlParserCtxt, decltype(&xmlFreeParserCtxt)> parser(xmlNewParserCtxt(),
                                                                      xmlFreeParserCtxt);
  if (!parser) return nullptr;
  xmlDocPtr doc =
      xmlCtxtReadMemory(parser.get(), bytes.data(), static_cast<int>(bytes.size()), nullptr,
                        nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (doc && (!parser->wellFormed || !parser->nsWellFormed || HasEntityReference(doc))) {
    xmlFreeDoc(doc);
    doc = nullptr;
  }
  return doc;
}

// A transform parameter must be well-formed UTF-8 without control characters (other than tab
// and line ends), or the transfer document would not be well-formed.
bool IsParameterText(const std::string& text) {
  if (xmlCheckUTF8(reinterpret_cast<const xmlChar*>(text.c_str())) == 0) return false;
  if (text.find('\0') != std::string::npos) return false;
  for (unsigned char c : text)
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
  return true;
}

struct TransformContextFree {
  void operator()(xsltTransformContextPtr context) const { xsltFreeTransformContext(context); }
};
struct SecurityPrefsFree {
  void operator()(xsltSecurityPrefsPtr prefs) const { xsltFreeSecurityPrefs(prefs); }
};

// Preferences that forbid every file and network access of a transform.
std::unique_ptr<xsltSecurityPrefs, SecurityPrefsFree> ForbidAllAccess() {
  std::unique_ptr<xsltSecurityPrefs, SecurityPrefsFree> prefs(xsltNewSecurityPrefs());
  if (!prefs) return prefs;
  for (xsltSecurityOption option :
       {XSLT_SECPREF_READ_FILE, XSLT_SECPREF_WRITE_FILE, XSLT_SECPREF_CREATE_DIRECTORY,
        XSLT_SECPREF_READ_NETWORK, XSLT_SECPREF_WRITE_NETWORK}) {
    if (xsltSetSecurityPrefs(prefs.get(), option, xsltSecurityForbid) != 0) prefs.reset();
    if (!prefs) break;
  }
  return prefs;
}

}  // namespace

AnonymizationTransform::AnonymizationTransform(EventTarget& events, std::string generatorText)
    : AnonymizationTransform(events, std::move(generatorText), AnonymizationStylesheet()) {}

AnonymizationTransform::AnonymizationTransform(EventTarget& events, std::string generatorText,
                                               std::string_view stylesheet)
    : generatorText_(std::move(generatorText)),
      stylesheet_(Compile(stylesheet)),
      currentStylesheet_(Compile(CurrentAnonymizationStylesheet())) {
  if (Loaded()) events.RaiseEvent(mlDebug, mcModule, moPAnonymizer, 0, BStr(), BStr("XSLT loaded"));
}

AnonymizationTransform::~AnonymizationTransform() {
  output_.reset();
  input_.reset();
  if (stylesheet_) xsltFreeStylesheet(stylesheet_);
  if (currentStylesheet_) xsltFreeStylesheet(currentStylesheet_);
}

xsltStylesheetPtr AnonymizationTransform::Compile(std::string_view stylesheet) {
  InitXmlLibrary();
  if (stylesheet.empty() || stylesheet.size() > static_cast<size_t>(INT_MAX)) return nullptr;
  QuietXmlErrors quiet;
  xmlDocPtr doc = xmlReadMemory(stylesheet.data(), static_cast<int>(stylesheet.size()), nullptr,
                                nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (!doc) return nullptr;
  // Errors of the compile go to libxslt's process-wide handler; a stylesheet with an error
  // is refused all the same.
  xsltStylesheetPtr compiled = xsltParseStylesheetDoc(doc);  // owns `doc` when it succeeds
  if (!compiled) xmlFreeDoc(doc);
  return compiled;
}

HRESULT AnonymizationTransform::LoadInput(const std::string& path) {
  input_.reset();
  output_.reset();
  active_ = nullptr;
  return GuardedCall([&] {
    std::string bytes;
    HRESULT hr = ReadInvoiceFile(path, &bytes);
    if (Failed(hr)) return hr;
    InitXmlLibrary();
    QuietXmlErrors quiet;
    input_.reset(ParseInvoice(bytes));
    if (!input_) return E_FAIL;
    // Each stylesheet masks invoices of its own namespace only: any other document would pass
    // through it unmasked, so it is refused (fail closed) rather than sent readable.
    const xmlNode* root = xmlDocGetRootElement(input_.get());
    const std::string_view ns = root && root->ns && root->ns->href
                                    ? reinterpret_cast<const char*>(root->ns->href)
                                    : std::string_view();
    if (ns == kInvoiceNamespace) {
      active_ = stylesheet_;
    } else if (ns == kCurrentInvoiceNamespace) {
      active_ = currentStylesheet_;
    } else {
      input_.reset();
      return E_NOTIMPL;
    }
    return S_OK;
  });
}

HRESULT AnonymizationTransform::Transform(const std::string& fileName, const std::string& rcpt,
                                          bool withPdf,
                                          std::shared_ptr<AnonymizerContext> anonymizer) {
  output_.reset();
  errorText_.clear();
  return GuardedCall([&] { return RunStylesheet(fileName, rcpt, withPdf, std::move(anonymizer)); });
}

HRESULT AnonymizationTransform::RunStylesheet(const std::string& fileName, const std::string& rcpt,
                                              bool withPdf,
                                              std::shared_ptr<AnonymizerContext> anonymizer) {
  if (!Loaded() || !active_ || !input_) return E_UNEXPECTED;
  if (!IsParameterText(fileName) || !IsParameterText(rcpt) || !IsParameterText(generatorText_))
    return E_INVALIDARG;

  RefPtr<ICode> code = RefPtr<ICode>::Adopt(new CCode(std::move(anonymizer)));
  CodeFunctions functions(code);
  auto prefs = ForbidAllAccess();
  if (!prefs) return E_OUTOFMEMORY;
  std::unique_ptr<xsltTransformContext, TransformContextFree> context(
      xsltNewTransformContext(active_, input_.get()));
  if (!context) return E_OUTOFMEMORY;
  if (xsltSetCtxtSecurityPrefs(prefs.get(), context.get()) != 0) return E_UNEXPECTED;
  xsltSetTransformErrorFunc(context.get(), &errorText_, &CollectError);
  if (!functions.Register(context.get())) return E_OUTOFMEMORY;

  // String parameters are taken as they are (never evaluated as XPath); withPDF is the number 1.
  const auto param = [](const char* text) { return reinterpret_cast<const xmlChar*>(text); };
  if (xsltQuoteOneUserParam(context.get(), param("filename"), param(fileName.c_str())) != 0 ||
      xsltQuoteOneUserParam(context.get(), param("libVersion"), param(generatorText_.c_str())) !=
          0 ||
      xsltQuoteOneUserParam(context.get(), param("rcpt"), param(rcpt.c_str())) != 0 ||
      (withPdf && xsltEvalOneUserParam(context.get(), param("withPDF"), param("1")) != 0))
    return E_OUTOFMEMORY;

  Doc result;
  {
    QuietXmlErrors quiet;
    result.reset(
        xsltApplyStylesheetUser(active_, input_.get(), nullptr, nullptr, nullptr, context.get()));
  }
  if (Failed(functions.Failure())) return functions.Failure();
  if (!result || context->state != XSLT_STATE_OK) return E_FAIL;
  output_ = std::move(result);
  errorText_.clear();  // warnings of a transform that succeeded
  return S_OK;
}

HRESULT AnonymizationTransform::SaveOutput(std::string* document) {
  if (!document) return E_POINTER;
  if (!output_ || !active_) return E_UNEXPECTED;
  return GuardedCall([&] {
    xmlChar* text = nullptr;
    int length = 0;
    if (xsltSaveResultToString(&text, &length, output_.get(), active_) != 0 || !text) {
      xmlFree(text);
      return E_OUTOFMEMORY;
    }
    // Copied before it is freed; an allocation failure here still frees it.
    struct Free {
      void operator()(xmlChar* p) const { xmlFree(p); }
    };
    std::unique_ptr<xmlChar, Free> owner(text);
    document->assign(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
    return S_OK;
  });
}

}  // namespace qx
