#include "formats/xml_invoice.h"

#include "formats/xml_namespaces.h"

namespace qx {
namespace {

void SetFromAttribute(std::span<const ElementAttribute> attributes, std::string_view name,
                      std::optional<std::string>& field) {
  if (auto value = FindAttribute(attributes, name)) field.emplace(*value);
}

bool IsTrue(std::optional<std::string_view> value) {
  return value && (*value == "true" || *value == "1");
}

bool IsTiers(std::string_view localName) {
  return localName == "tiers_garant" || localName == "tiers_payant" || localName == "tiers_soldant";
}

std::string WithoutBlanks(std::string_view text) {
  std::string out;
  for (char c : text)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') out += c;
  return out;
}

// The amount of a cancellation: the sign of the invoice's amount turned round.
std::string Negated(std::string_view amount) {
  if (!amount.empty() && amount.front() == '-') return std::string(amount.substr(1));
  if (!amount.empty() && amount.front() == '+') amount.remove_prefix(1);
  return "-" + std::string(amount);
}

}  // namespace

std::string_view InvoiceSaxHandler::Parent(size_t up) const {
  if (up >= open_.size()) return {};
  return open_[open_.size() - 1 - up];
}

void InvoiceSaxHandler::EndElement() {
  if (!open_.empty()) open_.pop_back();
}

void InvoiceSaxHandler::StartCurrent(std::string_view localName,
                                     std::span<const ElementAttribute> attributes) {
  CurrentRequest& c = current_;
  if (localName == "request") {
    currentSeen_ = requestSeen_ = true;
    if (FindAttribute(attributes, "guid")) c.version50 = true;
    return;
  }
  if (!currentSeen_) return;
  const std::string_view parent = Parent(0);
  if (localName == "payload" && parent == "request") {
    auto type = FindAttribute(attributes, "type");
    auto requestType = FindAttribute(attributes, "request_type");
    if (requestType) c.version50 = true;
    c.reminder = (type && *type == "reminder") || (requestType && *requestType == "reminder");
    auto subtype = FindAttribute(attributes, "request_subtype");
    c.storno = IsTrue(FindAttribute(attributes, "storno")) || (subtype && *subtype == "storno");
  } else if (localName == "invoice" && parent == "payload") {
    SetFromAttribute(attributes, "request_id", c.requestId);
  } else if (localName == "reminder" && parent == "payload") {
    SetFromAttribute(attributes, "request_id", c.reminderId);
    SetFromAttribute(attributes, "reminder_level", c.reminderLevel);
  } else if (localName == "balance" && parent == "body") {
    c.bodyBalance = true;
    SetFromAttribute(attributes, "amount", c.amount);
  } else if (localName == "balance" && IsTiers(parent) && Parent(1) == "body") {
    c.tiersBalance = true;
    SetFromAttribute(attributes, "amount", c.amount);
  } else if ((localName == "esr5" || localName == "esr9") && parent == "body") {
    SetFromAttribute(attributes, "coding_line", codingLine_);
  } else if (localName == "esrRed" && parent == "body") {
    SetFromAttribute(attributes, "coding_line1", codingLine_);
  } else if ((localName == "esrQR" || localName == "esrQRRed") && parent == "body") {
    if (auto reference = FindAttribute(attributes, "reference_number"))
      c.qrReference = WithoutBlanks(*reference);
  } else if (localName == "provider" && IsTiers(parent)) {
    SetFromAttribute(attributes, "zsr", c.providerZsr);
    SetFromAttribute(attributes, "ean_party", c.providerGln);
  } else if (localName == "providers" && IsTiers(parent)) {
    c.version50 = true;
  } else if (localName == "provider_zsr" && parent == "providers") {
    SetFromAttribute(attributes, "zsr", c.providerZsr);
  } else if (localName == "provider_gln" && parent == "providers") {
    SetFromAttribute(attributes, "gln", c.providerGln);
  }
}

void InvoiceSaxHandler::FinishCurrent() {
  if (!currentSeen_) return;
  const CurrentRequest& c = current_;
  invoiceId_.reset();
  if (!c.reminder) {
    invoiceId_ = c.requestId;
  } else if (c.reminderId && c.reminderLevel) {
    // Practice software gives a reminder the identifier of its invoice; the level tells apart
    // the reminders of one invoice from it and from each other.
    invoiceId_ = *c.reminderId + "#" + *c.reminderLevel;
  }
  amount_.reset();
  if (c.amount) amount_ = c.storno ? Negated(*c.amount) : *c.amount;
  zsr_.reset();
  if (c.providerZsr && !c.providerZsr->empty())
    zsr_ = c.providerZsr;
  else
    zsr_ = c.providerGln;
}

XmlInvoiceVersion InvoiceSaxHandler::version() const {
  if (!currentSeen_) return requestSeen_ ? XmlInvoiceVersion::k40 : XmlInvoiceVersion::kNone;
  if (current_.version50) return XmlInvoiceVersion::k50;
  if (current_.bodyBalance) return XmlInvoiceVersion::k44;
  if (current_.tiersBalance) return XmlInvoiceVersion::k45;
  return XmlInvoiceVersion::kCurrent;
}

void InvoiceSaxHandler::StartElement(std::string_view namespaceUri, std::string_view localName,
                                     std::span<const ElementAttribute> attributes) {
  const bool current = namespaceUri == kCurrentInvoiceNamespace;
  if (current) StartCurrent(localName, attributes);
  if (namespaceUri == kXmlEncryptionNamespace && localName == "EncryptedData" && currentSeen_ &&
      Parent(0) == "payload")
    current_.encrypted = true;
  open_.emplace_back(current ? localName : std::string_view());
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
  bool ok = ParseXmlMemory(document, *this);
  FinishCurrent();
  return ok && requestSeen_;
}

bool InvoiceSaxHandler::ParseFile(const std::string& path, size_t maxBytes, int* readError) {
  bool ok = ParseXmlFile(path, *this, maxBytes, readError);
  FinishCurrent();
  return ok && requestSeen_;
}

InvoiceFileRead ReadXmlInvoiceFile(const std::string& path, InvoiceKeys* keys,
                                   std::string* recipient, int* readError) {
  if (readError) *readError = 0;
  if (recipient != nullptr) recipient->clear();
  if (InvoiceFileTooLarge(path)) return InvoiceFileRead::kTooLarge;
  InvoiceSaxHandler handler;
  int error = 0;
  bool ok = keys != nullptr && handler.ParseFile(path, kMaxInvoiceFileBytes, &error);
  if (error != 0) {
    if (readError) *readError = error;
    return InvoiceFileRead::kFailed;
  }
  if (ok && handler.encrypted()) {
    if (recipient != nullptr) *recipient = handler.recipient().value_or(std::string());
    return InvoiceFileRead::kEncrypted;
  }
  if (ok) {
    if (handler.qrReference()) keys->qrReferences.push_back(*handler.qrReference());
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
