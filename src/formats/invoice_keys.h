// The key fields of one invoice file, filled by the GNI and XML invoice readers, checked by the
// Checker and the Sender and recorded by the sent-invoice register.
#pragma once

#include <string>
#include <vector>

namespace qx {

struct InvoiceKeys {
  // Texts are UTF-8.
  std::vector<std::string> invoiceIds;
  std::vector<std::string> amounts;
  std::vector<std::string> codingLines;
  std::string providerZsr;
};

}  // namespace qx
