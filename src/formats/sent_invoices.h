// The duplicate check and the recording of delivered invoices, on the keys of one invoice file.
#pragma once

#include "formats/invoice_keys.h"
#include "formats/sent_register.h"

namespace qx {

// True if `sent` holds any of the file's invoices: SentRegister::Find for each pair
// (invoiceIds[i], amounts[i]) with keys.providerZsr, stopping at the first hit. An identifier
// without amount is looked up with an empty amount, which matches any registered one.
bool IsDuplicate(const SentRegister& sent, const InvoiceKeys& keys);

// Adds every invoice of the file to `sent` as delivered now: (providerZsr, invoiceIds[i],
// amounts[i]); an identifier without amount is recorded with an empty amount.
void RecordSent(SentRegister& sent, const InvoiceKeys& keys);

}  // namespace qx
