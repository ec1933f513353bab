// Fuzzes the XML invoice reader with arbitrary documents, parsed from memory like a file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "formats/xml_invoice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view document(reinterpret_cast<const char*>(data), size);
  qx::InvoiceSaxHandler handler;
  bool ok = handler.ParseBuffer(document);
  // Success needs a request element of the invoice namespace.
  if (ok && !handler.requestSeen()) abort();
  return 0;
}
