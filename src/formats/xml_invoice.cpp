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

bool InvoiceSaxHandler::ParseFile(const std::string& path) {
  return ParseXmlFile(path, *this) && requestSeen_;
}

bool ReadXmlInvoiceFile(const std::string& path, InvoiceKeys* keys, std::string* recipient) {
  InvoiceSaxHandler handler;
  bool ok = keys != nullptr && handler.ParseFile(path);
  if (ok) {
    if (handler.invoiceId()) keys->invoiceIds.push_back(*handler.invoiceId());
    if (handler.amount()) keys->amounts.push_back(*handler.amount());
    if (handler.codingLine()) keys->codingLines.push_back(*handler.codingLine());
    keys->providerZsr = handler.zsr().value_or(std::string());
  }
  if (recipient != nullptr) *recipient = handler.recipient().value_or(std::string());
  return ok;
}

}  // namespace qx
