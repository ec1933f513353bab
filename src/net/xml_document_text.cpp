#include "net/xml_document_text.h"

#include <errno.h>
#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <memory>

#include "platform/fault_injection.h"
#include "platform/quiet_libxml_errors.h"
#include "platform/unique_fd.h"
#include "platform/xml_sax.h"

namespace qx {
namespace {

// The whole regular file at `path`, at most `max_bytes`.
bool ReadRegularFile(const std::string& path, size_t max_bytes, std::string* bytes) {
  // O_NONBLOCK keeps a FIFO from blocking the open, O_NOFOLLOW a link from being followed.
  UniqueFd file(sys::Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
  if (!file.valid()) return false;
  struct stat info;
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  if (static_cast<unsigned long long>(info.st_size) > max_bytes) return false;
  bytes->clear();
  if (AllocationFault()) return false;
  bytes->reserve(static_cast<size_t>(info.st_size));
  char buffer[64 * 1024];
  for (;;) {
    ssize_t got = sys::Read(file.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return true;
    // The file may grow while it is read: the limit holds for what was read.
    if (bytes->size() + static_cast<size_t>(got) > max_bytes) return false;
    bytes->append(buffer, static_cast<size_t>(got));
  }
}

}  // namespace

bool LoadXmlFileAsUtf8(const std::string& path, std::string* text, size_t max_bytes) {
  text->clear();
  std::string bytes;
  if (!ReadRegularFile(path, max_bytes, &bytes) || bytes.empty() ||
      bytes.size() > static_cast<size_t>(INT_MAX))
    return false;
  InitXmlLibrary();
  QuietLibxmlErrors quiet;
  std::unique_ptr<xmlParserCtxt, decltype(&xmlFreeParserCtxt)> context(xmlNewParserCtxt(),
                                                                       xmlFreeParserCtxt);
  if (!context) return false;
  // The encoding is the one the document declares; no network, no DTD, no entity substitution.
  std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> doc(
      xmlCtxtReadMemory(context.get(), bytes.data(), static_cast<int>(bytes.size()), nullptr,
                        nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
      xmlFreeDoc);
  if (!doc || !context->wellFormed || !context->nsWellFormed) return false;
  if (doc->intSubset || doc->extSubset || !xmlDocGetRootElement(doc.get())) return false;
  xmlChar* dumped = nullptr;
  int size = 0;
  xmlDocDumpMemoryEnc(doc.get(), &dumped, &size, "UTF-8");
  if (!dumped || size <= 0) {
    xmlFree(dumped);
    return false;
  }
  text->assign(reinterpret_cast<const char*>(dumped), static_cast<size_t>(size));
  xmlFree(dumped);
  return true;
}

}  // namespace qx
