// Reading the key fields of XML invoices and transfer documents: one streaming pass through
// libxml2's namespace-aware SAX2 parser that keeps the invoice identifier, the balance amount,
// the payment-slip coding line, the provider's ZSR number and a transfer document's recipient.
//
// Documents from outside are hostile; platform/xml_sax.h says how they are parsed.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "formats/invoice_file.h"
#include "formats/invoice_keys.h"
#include "platform/xml_sax.h"

namespace qx {

// One attribute of an element start (platform/xml_sax.h).
using ElementAttribute = XmlAttribute;

// Collects the key attributes of one document while it is parsed. A new handler is used for each
// document; it is not thread-safe. All texts are UTF-8.
//
// Rules for each element start: a "datatransfer" element of the transfer namespace gives the
// recipient ("rcpt"). Elements of the invoice namespace count from the first "request" element
// on: "invoice" gives invoice_id, "balance" amount, "esr5"/"esr9" coding_line and "provider" zsr.
// Only attributes without namespace are looked at; a later value replaces an earlier one.
class InvoiceSaxHandler final : public XmlStartElementHandler {
 public:
  InvoiceSaxHandler() = default;
  InvoiceSaxHandler(const InvoiceSaxHandler&) = delete;
  InvoiceSaxHandler& operator=(const InvoiceSaxHandler&) = delete;

  // Parses the whole regular file at `path` (at most `maxBytes`). True only if the document is
  // well-formed, namespace well-formed and has a "request" element of the invoice namespace.
  // Values read before a parse error stay available.
  bool ParseFile(const std::string& path, size_t maxBytes = kMaxInvoiceFileBytes);
  // The same for a document held in memory.
  bool ParseBuffer(std::string_view document);

  // Applies the element rules above to one element start. `namespaceUri` is empty for an element
  // without namespace.
  void StartElement(std::string_view namespaceUri, std::string_view localName,
                    std::span<const ElementAttribute> attributes) override;

  bool requestSeen() const { return requestSeen_; }
  const std::optional<std::string>& invoiceId() const { return invoiceId_; }
  const std::optional<std::string>& amount() const { return amount_; }
  const std::optional<std::string>& codingLine() const { return codingLine_; }
  const std::optional<std::string>& zsr() const { return zsr_; }
  const std::optional<std::string>& recipient() const { return recipient_; }

 private:
  bool requestSeen_ = false;
  std::optional<std::string> invoiceId_;
  std::optional<std::string> amount_;
  std::optional<std::string> codingLine_;
  std::optional<std::string> zsr_;
  std::optional<std::string> recipient_;
};

// Reads the XML invoice or transfer document at `path`. On success (kRead) appends the invoice
// identifier, amount and coding line to the lists of `keys` (each only when present) and sets
// keys->providerZsr (empty when absent). A file over kMaxInvoiceFileBytes is not read
// (kTooLarge). On failure `keys` is unchanged. In every case `*recipient` (if not null) becomes
// the document's recipient as far as it was read, empty if it has none.
InvoiceFileRead ReadXmlInvoiceFile(const std::string& path, InvoiceKeys* keys,
                                   std::string* recipient);

}  // namespace qx
