// PInvoiceStep: what the Checker and the Sender share: the two invoice readers (with their debug
// events), the sent-invoice register (loaded when the step is built), the duplicate check and
// the recording of delivered invoices.
//
// One object per run on the job's worker thread; not thread-safe.
#pragma once

#include <string>

#include "formats/invoice_file.h"
#include "formats/invoice_keys.h"
#include "formats/sent_register.h"
#include "steps/step.h"

namespace qx {

class PInvoiceStep : public PStep {
 public:
  // Saves the register if it is still unsaved (SaveRegister was not called after a change).
  ~PInvoiceStep() override;

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
  // A file over kMaxInvoiceFileBytes is not read (kTooLarge). A file that could not be read now
  // gives kFailed with the errno value in `*readError` (may be null).
  InvoiceFileRead ReadXmlInvoice(const std::string& path, InvoiceKeys* keys,
                                 int* readError = nullptr);
  InvoiceFileRead ReadGniInvoice(const std::string& path, InvoiceKeys* keys,
                                 int* readError = nullptr);
  // Reports a file that could not be read (kFailed): the system error and the warning code 3
  // with failText. The file is not judged; it stays for the next run.
  void ReportUnread(const std::string& name, int error);

  // Whether the register holds any of the file's invoices; adds them as sent.
  bool IsDuplicate(const InvoiceKeys& keys) const;
  void RecordSent(const InvoiceKeys& keys);
  // Adds them as sent and appends them to the register file at once, flushed to disk, so that a
  // crash before the register is saved cannot forget a delivery. A failed append is reported as
  // an error event of class mcSystem naming "qendix.log"; the entries stay in memory for the save.
  bool RecordDelivered(const InvoiceKeys& keys);

  // The recipient of the last document ReadXmlInvoice read (empty when it had none).
  const std::string& recipient() const { return recipient_; }

 protected:
  PInvoiceStep(JobContext& context, tagMsgOrigin origin, std::string name, std::string okText,
               std::string failText);

 private:
  void ReportRegisterError(int error);

  SentRegister register_;
  std::string recipient_;
};

}  // namespace qx
