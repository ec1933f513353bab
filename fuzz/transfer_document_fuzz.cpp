// Fuzzes what the Sender does with a transfer document before it goes out: the document is read
// for its keys and recipient (as XML, else as GNI) and loaded for the upload, re-serialised as
// UTF-8. Checks: an upload text is well-formed UTF-8 under a UTF-8 declaration, loading it again
// gives the same text, and it reads with the same result, keys and recipient as the file itself,
// so that what is sent is what was checked.
#include <libxml/xmlstring.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "formats/gni_invoice.h"
#include "formats/xml_invoice.h"
#include "net/xml_document_text.h"
#include "scratch.h"

namespace {

bool SameKeys(const qx::InvoiceKeys& a, const qx::InvoiceKeys& b) {
  return a.invoiceIds == b.invoiceIds && a.amounts == b.amounts && a.codingLines == b.codingLines &&
         a.providerZsr == b.providerZsr && a.qrReferences == b.qrReferences;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path =
      fuzz::WriteScratch("transfer.xml", {reinterpret_cast<const char*>(data), size});
  qx::InvoiceKeys keys;
  std::string recipient;
  const qx::InvoiceFileRead read = qx::ReadXmlInvoiceFile(path, &keys, &recipient);
  if (read != qx::InvoiceFileRead::kRead) {
    qx::InvoiceKeys gniKeys;
    qx::ReadGniInvoiceFile(path, &gniKeys);
  }

  std::string upload;
  if (!qx::LoadXmlFileAsUtf8(path, &upload)) {
    if (!upload.empty()) abort();
    return 0;
  }
  // The declaration keeps the version the file declares ("1.0", or "1.1" and the like).
  const size_t declarationEnd = upload.find("?>\n");
  if (upload.rfind("<?xml version=\"1.", 0) != 0 || declarationEnd == std::string::npos ||
      upload.compare(0, declarationEnd, upload, 0, declarationEnd) != 0 ||
      upload.substr(declarationEnd - 17, 17) != " encoding=\"UTF-8\"")
    abort();
  if (upload.find('\0') != std::string::npos ||
      !xmlCheckUTF8(reinterpret_cast<const xmlChar*>(upload.c_str())))
    abort();

  const std::string again = fuzz::WriteScratch("upload.xml", upload);
  std::string reloaded;
  if (!qx::LoadXmlFileAsUtf8(again, &reloaded) || reloaded != upload) abort();
  qx::InvoiceKeys uploadKeys;
  std::string uploadRecipient;
  if (qx::ReadXmlInvoiceFile(again, &uploadKeys, &uploadRecipient) != read ||
      uploadRecipient != recipient || !SameKeys(uploadKeys, keys))
    abort();
  return 0;
}
