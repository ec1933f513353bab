#include "formats/xml_invoice.h"

#include "formats/xml_namespaces.h"

namespace qx {
namespace {

void SetFromAttribute(std::span<const ElementAttribute> attributes, std::string_view name,
                      std::optional<std::string>& field) {
  if (auto value = FindAttribute(attributes, name)) field.emplace(*value);
}

}  // namespace

void InvoiceSaxHandler::StartElement(std::string_view namespaceUri, std::string_view localName,
                                     std::span<const ElementAttribute> attributes) {
  if (namespaceUri == kTransferNamespace && localName == "datatransfer") {
    SetFromAttribute(attributes, "rcpt", recipient_);
    return;
  }
  if (namespaceUri != kInvoiceNamespace) return;
  // Elements of the invoice namespace count from the first "request" on.
  if (!requestSeen_ && localName != "request") return;
  requestSeen_ = true;
  if (localName == "invoice") {
    SetFromAttribute(attributes, "invoice_id", invoiceId_);
  } else if (localName == "balance") {
    SetFromAttribute(attributes, "amount", amount_);
  } else if (localName == "esr5" || localName == "esr9") {
    SetFromAttribute(attributes, "coding_line", codingLine_);
  } else if (localName == "provider") {
    SetFromAttribute(attributes, "zsr", zsr_);
  }
}

bool InvoiceSaxHandler::ParseBuffer(std::string_view document) {
  return ParseXmlMemory(document, *this) && requestSeen_;
}

bool InvoiceSaxHandler::ParseFile(const std::string& path, size_t maxBytes) {
  return ParseXmlFile(path, *this, maxBytes) && requestSeen_;
}

InvoiceFileRead ReadXmlInvoiceFile(const std::string& path, InvoiceKeys* keys,
                                   std::string* recipient) {
  if (recipient != nullptr) recipient->clear();
  if (InvoiceFileTooLarge(path)) return InvoiceFileRead::kTooLarge;
  InvoiceSaxHandler handler;
  bool ok = keys != nullptr && handler.ParseFile(path, kMaxInvoiceFileBytes);
  if (ok) {
    if (handler.invoiceId()) keys->invoiceIds.push_back(*handler.invoiceId());
    if (handler.amount()) keys->amounts.push_back(*handler.amount());
    if (handler.codingLine()) keys->codingLines.push_back(*handler.codingLine());
    keys->providerZsr = handler.zsr().value_or(std::string());
  }
  if (recipient != nullptr) *recipient = handler.recipient().value_or(std::string());
  if (ok) return InvoiceFileRead::kRead;
  return InvoiceFileTooLarge(path) ? InvoiceFileRead::kTooLarge : InvoiceFileRead::kNotRead;
}

}  // namespace qx
