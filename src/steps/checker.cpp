#include "steps/checker.h"

#include <cerrno>

#include "formats/file_kind.h"
#include "formats/gni_invoice.h"
#include "formats/sent_invoices.h"
#include "formats/xml_invoice.h"
#include "platform/codepage.h"
#include "platform/file_system.h"
#include "platform/last_error.h"
#include "platform/module.h"
#include "support/messages.h"
#include "support/settings.h"

namespace qx {
PChecker::PChecker(JobContext& context)
    : PInvoiceStep(context, moPChecker, LoadMessageA(1050), LoadMessageA(1051),
                   LoadMessageA(1103)) {}

bool PChecker::CheckPreconditions() {
  std::string work = settings_.workDirectory;
  if (Utf8Length(work) > 2) {
    sourceDir_ = JoinPath(work, "input");
    targetDir_ = JoinPath(work, "valid");
    return CheckRegister();
  }
  Raise(mlError, mcModule, 7, std::nullopt, LoadMessage(1107));
  return false;
}

void PChecker::Prepare(std::vector<std::string>& files) {
  if (!settings_.Has(kOptionWithPdf)) return;
  std::vector<std::string> invoices;
  for (auto& name : files) {
    if (ClassifyFile(SourcePath(name)) == fkPdf)
      attachments_.push_back(std::move(name));
    else
      invoices.push_back(std::move(name));
  }
  files = std::move(invoices);
}

int PChecker::FindAttachment(const std::string& prefix) const {
  if (prefix.empty()) return -1;
  for (size_t i = 0; i < attachments_.size(); ++i)
    if (StartsWithNoCase(attachments_[i], prefix)) return static_cast<int>(i);
  return -1;
}

void PChecker::ProcessFile(const std::string& name) {
  std::string path = SourcePath(name);
  InvoiceKeys keys;
  bool gni = false;
  InvoiceFileRead read = InvoiceFileRead::kNotRead;
  switch (ClassifyFile(path)) {
    case fkXml:
      read = ReadXmlInvoice(path, &keys);
      break;
    case fkGni:
      gni = true;
      read = ReadGniInvoice(path, &keys);
      break;
    default:
      break;
  }
  if (read == InvoiceFileRead::kTooLarge) {
    Raise(mlError, mcSystem, EFBIG, name, SystemErrorText(EFBIG));
    MoveToError(name);
    return;
  }
  if (read == InvoiceFileRead::kEncrypted) {
    // Its body cannot be read, so nothing in it could be masked: it must not go on.
    Raise(mlError, mcModule, 10, name, LoadMessage(1057));
    MoveToError(name);
    return;
  }
  if (read != InvoiceFileRead::kRead) {
    Raise(mlError, mcModule, 10, name, LoadMessage(1052));
    MoveToError(name);
    return;
  }
  if (keys.invoiceIds.empty() || keys.invoiceIds.size() != keys.amounts.size()) {
    Raise(mlError, mcModule, 11, name, LoadMessage(1053));
    MoveToError(name);
    return;
  }
  if (IsDuplicate(keys)) {
    Raise(mlError, mcModule, 12, name, LoadMessage(1054));
    MoveToError(name);
    return;
  }
  const bool with_pdf = settings_.Has(kOptionWithPdf);
  // A QR bill has no coding line: its reference number names its PDF instead.
  std::vector<std::string> slips = keys.codingLines;
  slips.insert(slips.end(), keys.qrReferences.begin(), keys.qrReferences.end());
  if (with_pdf) {
    if (slips.size() != keys.invoiceIds.size()) {
      if (gni) {
        // A quick invoice without payment slip: it stays in "input" for a later run.
        Raise(mlDebug, mcModule, 0, name, std::string("Annahme: GNI-Schnellrechnung"));
        return;
      }
      Raise(mlError, mcModule, 11, name, LoadMessage(1053));
      MoveToError(name);
      return;
    }
    // Every coding line needs its PDF before anything moves.
    for (const auto& line : slips) {
      const std::string& cleaned = CleanName(line);
      if (FindAttachment(cleaned) < 0) {
        Raise(mlError, mcModule, 13, name, "PDF-Datei nicht gefunden (" + cleaned + ".?\?\?)");
        MoveToError(name);
        return;
      }
    }
  }
  MoveToTarget(name);
  if (!with_pdf) return;
  for (const auto& line : slips) {
    int index = FindAttachment(CleanName(line));
    if (index < 0) continue;
    std::string pdf = attachments_[static_cast<size_t>(index)];
    attachments_.erase(attachments_.begin() + index);
    MoveToTarget(pdf);
  }
}

void PChecker::Finish() {
  for (const auto& pdf : attachments_) {
    Raise(mlError, mcModule, 14, pdf, LoadMessage(1055));
    MoveToError(pdf);
  }
  attachments_.clear();
  // Before Run gives the job lock back, so the next job reads what this one registered.
  SaveRegister();
}

}  // namespace qx
