// PChecker: checks every file in "<work>/input". Good invoices (and, with withPDF, their PDF
// payment slips) move to "valid"; unknown formats, incomplete and duplicate invoices, invoices
// with a missing PDF and PDF files no invoice claims move into the day's error folder; a GNI
// quick invoice under withPDF stays in "input".
//
// It owns the sent-invoice register (loaded at construction, saved at destruction) and the
// invoice readers, which the Sender also uses through its own PChecker without running it.
// One object per run on the job's worker thread; not thread-safe.
#pragma once

#include <string>
#include <vector>

#include "formats/invoice_keys.h"
#include "formats/sent_register.h"
#include "platform/codepage.h"
#include "steps/step.h"

namespace qx {

class PChecker : public PStep {
 public:
  explicit PChecker(JobContext& context);
  // Saves the register; a failed save is reported as an error event.
  ~PChecker() override;

  // Read one file's keys; on failure `keys` stays as it was. Each raises the debug event
  // "XML"/"Not XML" or "GNI"/"Not GNI" naming the full path. ReadXmlInvoice also sets recipient().
  bool ReadXmlInvoice(const std::string& path, InvoiceKeys* keys);
  bool ReadGniInvoice(const std::string& path, InvoiceKeys* keys);

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
  int FindAttachment(const std::string& prefix) const;

  SentRegister register_;
  std::vector<std::string> attachments_;
  std::string recipient_;
};

}  // namespace qx
