// Fuzzes the GNI parser and the key collector with arbitrary bytes: strict and lenient mode,
// line ends, limits, numbers that overflow, amounts beyond 64 bits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "formats/gni_invoice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  qx::GniKeyCollector collector;
  bool ok = collector.ParseBytes(bytes);
  const qx::InvoiceKeys& keys = collector.keys();
  // Every amount is a whole number of hundredths written with a point and two decimals.
  for (const std::string& amount : keys.amounts) {
    if (amount.size() < 4 || amount[amount.size() - 3] != '.') abort();
  }
  // A successful parse saw a record header, which needs at least "[0]".
  if (ok && size < 3) abort();
  return 0;
}
