// PChecker: checks every file in "<work>/input". Good invoices (and, with withPDF, their PDF
// payment slips) move to "valid"; unknown formats, incomplete and duplicate invoices, invoices
// with a missing PDF and PDF files no invoice claims move into the day's error folder; a GNI
// quick invoice under withPDF stays in "input".
//
// It owns the sent-invoice register and the invoice readers, which the Sender also uses through
// its own PChecker without running it. The register is loaded at construction; a register that
// could not be loaded (other than a missing file) stops the step (CheckRegister) and is never
// saved. It is saved in Finish, before the step gives the job lock back; a step that uses a
// PChecker for its register calls CheckRegister in its preconditions and SaveRegister in its
// Finish. One object per run on the job's worker thread; not thread-safe.
#pragma once

#include <string>
#include <vector>

#include "formats/invoice_file.h"
#include "formats/invoice_keys.h"
#include "formats/sent_register.h"
#include "platform/codepage.h"
#include "steps/step.h"

namespace qx {

class PChecker : public PStep {
 public:
  explicit PChecker(JobContext& context);
  // Saves the register if it is still unsaved (SaveRegister was not called after a change).
  ~PChecker() override;

  // True when the register was loaded or did not exist yet. Otherwise reports the cause (an error
  // event of class mcSystem with the errno value when there is one, then the error event code 7
  // of class mcModule, both naming "qendix.log") and returns false: the step must stop before
  // it passes or moves any invoice.
  bool CheckRegister();
  // Saves the register when it was changed; a failed save is reported as an error event of class
  // mcSystem naming "qendix.log". False on failure.
  bool SaveRegister();

  // Read one file's keys; on failure `keys` stays as it was. Each raises the debug event
  // "XML"/"Not XML" or "GNI"/"Not GNI" naming the full path. ReadXmlInvoice also sets recipient().
  // A file over kMaxInvoiceFileBytes is not read (kTooLarge).
  InvoiceFileRead ReadXmlInvoice(const std::string& path, InvoiceKeys* keys);
  InvoiceFileRead ReadGniInvoice(const std::string& path, InvoiceKeys* keys);

  // Whether the register holds any of the file's invoices; adds them as sent.
  bool IsDuplicate(const InvoiceKeys& keys) const;
  void RecordSent(const InvoiceKeys& keys);

  // The recipient of the last document ReadXmlInvoice read (empty when it had none).
  const std::string& recipient() const { return recipient_; }

 protected:
  bool CheckPreconditions() override;
  void Prepare(std::vector<std::string>& files) override;
  void ProcessFile(const std::string& name) override;
  void Finish() override;

 private:
  // The index of the first attachment whose name begins with `prefix` (case-insensitive), or -1.
  // An empty prefix matches nothing: it would name any patient's payment slip.
  int FindAttachment(const std::string& prefix) const;

  SentRegister register_;
  std::vector<std::string> attachments_;
  std::string recipient_;
};

}  // namespace qx
