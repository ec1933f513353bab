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
  // The provider's ZSR number, or its GLN (13 digits, kept whole) when the invoice has no ZSR.
  std::string providerZsr;
  // QR reference numbers (blanks removed) of QR bills, which carry no coding line: like a coding
  // line they name the PDF of the payment slip that travels with the invoice.
  std::vector<std::string> qrReferences;
};

}  // namespace qx
