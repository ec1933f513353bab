#include "formats/sent_invoices.h"

#include <string_view>

namespace qx {
namespace {

std::string_view AmountAt(const InvoiceKeys& keys, size_t i) {
  return i < keys.amounts.size() ? std::string_view(keys.amounts[i]) : std::string_view();
}

}  // namespace

bool IsDuplicate(const SentRegister& sent, const InvoiceKeys& keys) {
  for (size_t i = 0; i < keys.invoiceIds.size(); ++i)
    if (sent.Find(keys.providerZsr, keys.invoiceIds[i], AmountAt(keys, i))) return true;
  return false;
}

void RecordSent(SentRegister& sent, const InvoiceKeys& keys) {
  for (size_t i = 0; i < keys.invoiceIds.size(); ++i)
    sent.Add(keys.providerZsr, keys.invoiceIds[i], AmountAt(keys, i));
}

}  // namespace qx
