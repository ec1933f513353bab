// Reading the key fields of XML invoices and transfer documents: one streaming pass through
// libxml2's namespace-aware SAX2 parser that keeps the invoice identifier, the balance amount,
// the payment-slip coding line, the provider's ZSR number and a transfer document's recipient.
// Both the 4.0 invoices (kInvoiceNamespace) and those of 4.4, 4.5 and 5.0
// (kCurrentInvoiceNamespace) are read.
//
// Documents from outside are hostile; platform/xml_sax.h says how they are parsed.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "formats/invoice_file.h"
#include "formats/invoice_keys.h"
#include "platform/xml_sax.h"

namespace qx {

// One attribute of an element start (platform/xml_sax.h).
using ElementAttribute = XmlAttribute;

// The version of the XML invoice standard a document was read as, told apart by structure.
// kCurrent is a document of the later namespace whose version its structure does not show (an
// encrypted payload of 4.4 or 4.5).
enum class XmlInvoiceVersion { kNone, k40, k44, k45, k50, kCurrent };

// Collects the key attributes of one document while it is parsed. A new handler is used for each
// document; it is not thread-safe. All texts are UTF-8.
//
// Rules for each element start: a "datatransfer" element of the transfer namespace gives the
// recipient ("rcpt"). Elements of the invoice namespace count from the first "request" element
// on: "invoice" gives invoice_id, "balance" amount, "esr5"/"esr9" coding_line and "provider" zsr.
// Only attributes without namespace are looked at; a later value replaces an earlier one.
//
// A "request" root of kCurrentInvoiceNamespace is read by its paths below request/payload:
// invoice/@request_id is the identifier; a reminder (payload/@type or @request_type "reminder")
// is identified by reminder/@request_id + "#" + @reminder_level. The amount is body/balance
// (4.4) or body/tiers_garant|tiers_payant|tiers_soldant/balance (4.5, 5.0), negated for a
// cancellation (@storno "true" or "1", @request_subtype "storno"), so that it registers as the
// reversal of its invoice. The coding line is body/esr5|esr9/@coding_line or
// body/esrRed/@coding_line1; body/esrQR|esrQRRed/@reference_number (blanks removed) is kept as
// qrReference. The provider is tiers_*/provider/@zsr (4.4, 4.5) or
// tiers_*/providers/provider_zsr/@zsr (5.0), else the provider's GLN (provider/@ean_party,
// providers/provider_gln/@gln) whole. A payload holding xenc:EncryptedData marks it encrypted().
class InvoiceSaxHandler final : public XmlStartElementHandler {
 public:
  InvoiceSaxHandler() = default;
  InvoiceSaxHandler(const InvoiceSaxHandler&) = delete;
  InvoiceSaxHandler& operator=(const InvoiceSaxHandler&) = delete;

  // Parses the whole regular file at `path` (at most `maxBytes`). True only if the document is
  // well-formed, namespace well-formed and has a "request" element of the invoice namespace.
  // Values read before a parse error stay available. `*readError`: as for ParseXmlFile.
  bool ParseFile(const std::string& path, size_t maxBytes = kMaxInvoiceFileBytes,
                 int* readError = nullptr);
  // The same for a document held in memory.
  bool ParseBuffer(std::string_view document);

  // Applies the element rules above to one element start. `namespaceUri` is empty for an element
  // without namespace.
  void StartElement(std::string_view namespaceUri, std::string_view localName,
                    std::span<const ElementAttribute> attributes) override;
  void EndElement() override;

  bool requestSeen() const { return requestSeen_; }
  const std::optional<std::string>& invoiceId() const { return invoiceId_; }
  const std::optional<std::string>& amount() const { return amount_; }
  const std::optional<std::string>& codingLine() const { return codingLine_; }
  const std::optional<std::string>& zsr() const { return zsr_; }
  const std::optional<std::string>& recipient() const { return recipient_; }
  // Set for the later versions only; valid after ParseFile or ParseBuffer.
  const std::optional<std::string>& qrReference() const { return current_.qrReference; }
  bool encrypted() const { return current_.encrypted; }
  XmlInvoiceVersion version() const;

 private:
  // What the later versions give, before it is combined into the fields above.
  struct CurrentRequest {
    bool reminder = false;
    bool storno = false;
    bool encrypted = false;
    bool version50 = false;    // request/@guid, payload/@request_type or a "providers" element
    bool bodyBalance = false;  // balance directly in body (4.4)
    bool tiersBalance = false;
    std::optional<std::string> requestId;
    std::optional<std::string> reminderId;
    std::optional<std::string> reminderLevel;
    std::optional<std::string> amount;
    std::optional<std::string> providerZsr;
    std::optional<std::string> providerGln;
    std::optional<std::string> qrReference;
  };

  void StartCurrent(std::string_view localName, std::span<const ElementAttribute> attributes);
  // Combines current_ into invoiceId_, amount_, codingLine_ and zsr_ after the parse.
  void FinishCurrent();
  // The local name of the open element `up` levels above the current one ("" for one of
  // another namespace or above the root).
  std::string_view Parent(size_t up) const;

  bool requestSeen_ = false;
  bool currentSeen_ = false;
  std::vector<std::string> open_;  // local names of the open elements of the later namespace
  CurrentRequest current_;
  std::optional<std::string> invoiceId_;
  std::optional<std::string> amount_;
  std::optional<std::string> codingLine_;
  std::optional<std::string> zsr_;
  std::optional<std::string> recipient_;
};

// Reads the XML invoice or transfer document at `path`. On success (kRead) appends the invoice
// identifier, amount and coding line (or QR reference) to the lists of `keys` (each only when
// present) and sets keys->providerZsr (empty when absent). A well-formed invoice of the later
// versions whose payload is encrypted gives kEncrypted and leaves `keys` unchanged. A file over
// kMaxInvoiceFileBytes is not read (kTooLarge). A file that could not be read gives kFailed, with
// the errno value in `*readError` (may be null; 0 for every other result). On failure `keys` is
// unchanged. In every case `*recipient` (if not null) becomes the document's recipient as far as
// it was read, empty if it has none.
InvoiceFileRead ReadXmlInvoiceFile(const std::string& path, InvoiceKeys* keys,
                                   std::string* recipient, int* readError = nullptr);

}  // namespace qx
