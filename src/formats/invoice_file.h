// The size bound of invoice files and the result of reading one. Both invoice readers (GNI and
// XML) refuse a file larger than kMaxInvoiceFileBytes instead of reading it, and say so, so that
// the steps can report the cause and set the file aside.
#pragma once

#include <cstddef>
#include <string>

namespace qx {

// The largest invoice file (GNI text or XML document) that is read: 64 MB. Real invoices are a
// few kilobytes; anything near this is not an invoice.
constexpr size_t kMaxInvoiceFileBytes = size_t{64} << 20;

enum class InvoiceFileRead {
  kRead,       // the keys were read
  kNotRead,    // not readable, not of the reader's format, or malformed
  kTooLarge,   // larger than kMaxInvoiceFileBytes (also when it grew while being read)
  kEncrypted,  // an XML invoice whose payload is encrypted instead of holding its body
  kFailed,     // could not be read now (the file could not be opened or read, or memory was
               // short): nothing is known about its content
};

// True when the file at `path` is there and larger than kMaxInvoiceFileBytes.
bool InvoiceFileTooLarge(const std::string& path);

}  // namespace qx
