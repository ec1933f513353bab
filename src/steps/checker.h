// PChecker: checks every file in "<work>/input". Good invoices (and, with withPDF, their PDF
// payment slips) move to "valid"; unknown formats, incomplete and duplicate invoices, invoices
// with a missing PDF and PDF files no invoice claims move into the day's error folder; a GNI
// quick invoice under withPDF stays in "input". A file that cannot be read now (an I/O error, not
// its content) is reported and stays, and so do the slips that may be its own.
//
// The sent-invoice register and the invoice readers come from PInvoiceStep, which the Sender
// shares. A register that could not be loaded (other than a missing file) stops the step
// (CheckRegister) and is never saved; it is saved in Finish, before the step gives the job lock
// back. One object per run on the job's worker thread; not thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/codepage.h"
#include "steps/invoice_step.h"

namespace qx {

class PChecker : public PInvoiceStep {
 public:
  explicit PChecker(JobContext& context);

 protected:
  bool CheckPreconditions() override;
  void Prepare(std::vector<std::string>& files) override;
  void ProcessFile(const std::string& name) override;
  void Finish() override;

 private:
  // The index of the first unclaimed attachment whose name begins with `prefix`
  // (case-insensitive, StartsWithNoCase), or -1. An empty prefix matches nothing: it would name
  // any patient's payment slip. A prefix of ASCII characters is looked up in the sorted index,
  // others by going through all names.
  int FindAttachment(const std::string& prefix) const;
  // Moves an invoice and its slips (`group`, the invoice first) into "valid" together: when one
  // cannot move, the failure is reported and the files moved before it go back to "input", so
  // that an invoice never waits in "valid" without a slip, nor a slip without its invoice.
  void MoveTogether(const std::vector<std::string>& group);

  // The PDF files of the source folder, in the order listed; claimed_[i] once attachments_[i]
  // went with its invoice.
  std::vector<std::string> attachments_;
  std::vector<char> claimed_;
  // The indexes of the names of ASCII characters only, sorted by their lower-case form, then
  // index; and the indexes of all other names.
  std::vector<uint32_t> asciiIndex_;
  std::vector<size_t> otherNames_;
  // An invoice could not be read: slips nobody claimed may be its own.
  bool unjudged_ = false;
};

}  // namespace qx
