#include "platform/xml_sax.h"

#include <errno.h>
#include <fcntl.h>
#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <new>
#include <vector>

#include "platform/call_guard.h"
#include "platform/fault_injection.h"
#include "platform/quiet_libxml_errors.h"
#include "platform/unique_fd.h"

namespace qx {
namespace {

constexpr size_t kChunkSize = 64 * 1024;
// Deepest element nesting read; real documents nest about ten levels. libxml2 keeps this limit
// only when it builds a tree, so the SAX parse keeps it here.
constexpr int kMaxDepth = 256;

std::string_view View(const xmlChar* text) {
  return text ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

// Without entity substitution libxml2 hands every "&" of an attribute value over as "&#38;"
// (its tree builder decodes that later); as nothing else in a value starts with "&", turning each
// "&#38;" back into "&" gives the value as written.
std::string DecodeAmpersands(std::string_view value) {
  constexpr std::string_view kEncoded = "&#38;";
  std::string out;
  out.reserve(value.size());
  for (size_t pos = 0;;) {
    size_t found = value.find(kEncoded, pos);
    out.append(value.substr(pos, found - pos));
    if (found == std::string_view::npos) break;
    out += '&';
    pos = found + kEncoded.size();
  }
  return out;
}

// One push parse with libxml2's SAX2 interface. Only the element and error callbacks are set:
// without entity, DTD and subset callbacks libxml2 neither records nor loads anything the
// document declares, so no entity is expanded and no external resource is read.
class Parser {
 public:
  explicit Parser(XmlStartElementHandler& handler) : handler_(handler) { InitXmlLibrary(); }

  ~Parser() {
    if (context_ == nullptr) return;
    // A DTD in the document makes libxml2 build a small document of its own; free it too.
    if (context_->myDoc != nullptr) xmlFreeDoc(context_->myDoc);
    context_->myDoc = nullptr;
    xmlFreeParserCtxt(context_);
  }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  // Feeds the next piece of the document; `last` marks its end. False once the document failed.
  bool Feed(std::string_view bytes, bool last) {
    if (failed_) return false;
    if (context_ == nullptr && !Create(bytes)) return false;
    while (!bytes.empty() || last) {
      size_t size = std::min(bytes.size(), kChunkSize);
      bool final = last && size == bytes.size();
      xmlParseChunk(context_, bytes.data(), static_cast<int>(size), final ? 1 : 0);
      bytes.remove_prefix(size);
      if (HasFailed()) {
        failed_ = true;
        return false;
      }
      if (final) break;
    }
    return true;
  }

  // True when the whole document was fed and read without error.
  bool Succeeded() const { return context_ != nullptr && !failed_ && !HasFailed(); }

 private:
  bool Create(std::string_view& bytes) {
    xmlSAXHandler sax{};
    sax.initialized = XML_SAX2_MAGIC;
    sax.startElementNs = &OnStartElementNs;
    sax.endElementNs = &OnEndElementNs;
    sax.serror = &OnError;
    // The first bytes let libxml2 detect the encoding.
    size_t head = std::min<size_t>(bytes.size(), 4);
    context_ = xmlCreatePushParserCtxt(&sax, this, bytes.data(), static_cast<int>(head), nullptr);
    if (context_ == nullptr) {
      failed_ = true;
      return false;
    }
    bytes.remove_prefix(head);
    // No network, no DTD loading, no entity substitution, no huge-document relaxation.
    xmlCtxtUseOptions(context_, XML_PARSE_NONET | XML_PARSE_NOWARNING | XML_PARSE_NOERROR);
    return true;
  }

  bool HasFailed() const {
    return errorSeen_ || context_->wellFormed == 0 || context_->nsWellFormed == 0 ||
           context_->disableSAX != 0;
  }

  static void OnStartElementNs(void* userData, const xmlChar* localName, const xmlChar* prefix,
                               const xmlChar* uri, int namespaceCount, const xmlChar** namespaces,
                               int attributeCount, int defaultedCount, const xmlChar** attributes) {
    auto* self = static_cast<Parser*>(userData);
    // libxml2 reports an undeclared prefix and still delivers the element; a document with such
    // an error ends here, as it does for every other error.
    if (self->HasFailed()) {
      xmlStopParser(self->context_);
      return;
    }
    if (++self->depth_ > kMaxDepth) {
      self->errorSeen_ = true;
      xmlStopParser(self->context_);
      return;
    }
    HRESULT hr = GuardedCall([&] {
      std::vector<XmlAttribute>& list = self->attributes_;
      std::vector<std::string>& decoded = self->decodedValues_;
      list.clear();
      decoded.resize(static_cast<size_t>(attributeCount));
      for (int i = 0; i < attributeCount; ++i) {
        const xmlChar** a = attributes + 5 * i;  // local name, prefix, URI, value begin, end
        std::string_view value(reinterpret_cast<const char*>(a[3]),
                               static_cast<size_t>(a[4] - a[3]));
        if (value.find('&') != std::string_view::npos) {
          decoded[i] = DecodeAmpersands(value);
          value = decoded[i];
        }
        list.push_back({View(a[2]), View(a[0]), value});
      }
      self->handler_.StartElement(View(uri), View(localName), list);
      return S_OK;
    });
    if (Failed(hr)) {
      // No exception may cross libxml2's C frames: a failing handler fails the document instead.
      self->errorSeen_ = true;
      xmlStopParser(self->context_);
    }
  }

  static void OnEndElementNs(void* userData, const xmlChar*, const xmlChar*, const xmlChar*) {
    auto* self = static_cast<Parser*>(userData);
    if (self->depth_ == 0) return;
    --self->depth_;
    if (!self->HasFailed()) self->handler_.EndElement();
  }

  static void OnError(void* userData, xmlErrorPtr error) {
    auto* self = static_cast<Parser*>(userData);
    if (error != nullptr && error->level >= XML_ERR_ERROR) self->errorSeen_ = true;
  }

  XmlStartElementHandler& handler_;
  xmlParserCtxtPtr context_ = nullptr;
  bool errorSeen_ = false;
  bool failed_ = false;
  int depth_ = 0;
  std::vector<XmlAttribute> attributes_;
  std::vector<std::string> decodedValues_;
};

}  // namespace

std::optional<std::string_view> FindAttribute(std::span<const XmlAttribute> attributes,
                                              std::string_view localName) {
  for (const XmlAttribute& a : attributes)
    if (a.namespaceUri.empty() && a.localName == localName) return a.value;
  return std::nullopt;
}

void InitXmlLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

bool ParseXmlMemory(std::string_view document, XmlStartElementHandler& handler) {
  QuietLibxmlErrors quiet;
  Parser parser(handler);
  return parser.Feed(document, true) && parser.Succeeded();
}

bool ParseXmlFile(const std::string& path, XmlStartElementHandler& handler, size_t max_bytes,
                  int* readError) {
  int ignored = 0;
  int& error = readError ? *readError : ignored;
  error = 0;
  // O_NONBLOCK keeps a FIFO from blocking the open, O_NOFOLLOW a link from being followed; only
  // regular files are read. A link (ELOOP) is no document of ours, not a failure to read one.
  UniqueFd file(sys::Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
  if (!file.valid()) {
    if (errno != ELOOP) error = errno;
    return false;
  }
  struct stat info;
  if (::fstat(file.get(), &info) != 0) {
    error = errno;
    return false;
  }
  if (!S_ISREG(info.st_mode)) return false;

  QuietLibxmlErrors quiet;
  Parser parser(handler);
  if (AllocationFault()) {
    error = ENOMEM;
    return false;
  }
  std::vector<char> buffer(kChunkSize);
  size_t total = 0;
  for (;;) {
    ssize_t got = sys::Read(file.get(), buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      error = errno;
      return false;
    }
    total += static_cast<size_t>(got);
    if (total > max_bytes) return false;
    bool last = got == 0;
    if (!parser.Feed(std::string_view(buffer.data(), static_cast<size_t>(got)), last)) return false;
    if (last) break;
  }
  return parser.Succeeded();
}

}  // namespace qx
