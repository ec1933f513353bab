// Reading the key fields of GNI invoices: the collector that extracts them while the GNI parser
// runs, the reading of a whole file into InvoiceKeys, and the amount rule of field 119.
#pragma once

#include <string>
#include <string_view>

#include "formats/gni_reader.h"
#include "formats/invoice_file.h"
#include "formats/invoice_keys.h"

namespace qx {

// Collects the invoice keys of one GNI text, whatever record the fields stand in: 106 provider's
// ZSR number (the last one counts), 115 invoice identifier, 119 amount, 200 payment-slip coding
// line (the lists in file order). Values are converted from Windows-1252 to UTF-8.
// One collector per parse; not thread-safe.
class GniKeyCollector : public GniReader {
 public:
  const InvoiceKeys& keys() const { return keys_; }
  // Hands the collected keys over; the collector is empty afterwards.
  InvoiceKeys TakeKeys();

 protected:
  void Field(int32_t number, std::string_view value) override;

 private:
  InvoiceKeys keys_;
};

// The amount text of a field 119 value: the value read as a whole number of hundredths by the
// rules of atol (leading blanks, optional sign, the digits up to the first other character, 0 if
// there are none) and written with two decimals and a point: "12345" gives "123.45", "-500"
// gives "-5.00". Values beyond the 64-bit range are held at the nearest limit.
std::string GniAmountText(std::string_view fieldValue);

// Reads the GNI file at `path`. On success (kRead) replaces keys->invoiceIds, amounts and
// codingLines with the collected lists and sets keys->providerZsr (empty when the file has
// none). A file over kMaxInvoiceFileBytes is not read (kTooLarge); one that could not be opened
// or read gives kFailed, with the errno value in `*readError` (may be null; 0 for every other
// result). On failure (also no record header, malformed line: kNotRead) `keys` is unchanged.
InvoiceFileRead ReadGniInvoiceFile(const std::string& path, InvoiceKeys* keys,
                                   int* readError = nullptr);

}  // namespace qx
