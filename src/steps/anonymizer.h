// PAnonymizer: turns every checked invoice in "<work>/valid" into a transfer document in
// "<work>/output" for the selected Trust Center: XML invoices through the anonymization
// stylesheet, GNI invoices through the GNI converter. The identifying parts are sealed for the
// Trust Center by the security client; with withPDF the PDF slips travel sealed inside the
// document of the invoice whose coding line names them.
//
// A transfer document is written to a hidden temporary file in "output", flushed to disk and then
// moved to its name without replacing anything there (a clash takes the next numbered name); only
// then are the source invoice and the PDFs it carries deleted. A killed process therefore leaves
// the invoice in "valid", a complete document in "output", or both (the Sender's duplicate check
// stops the second), never neither.
//
// One object per run on the job's worker thread; not thread-safe. It shares its AnonymizerContext
// (sender, recipients, PDF files, the envelopes' workspace with its private message folder) with
// its transforms and envelopes through the job context. The workspace is opened before the first
// invoice and closed, its folder removed, after the last one or when the step ends otherwise.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "anonymization/anonymization_transform.h"
#include "anonymization/gni_converter.h"
#include "crypto/anonymizer_context.h"
#include "crypto/certificate_cache.h"
#include "formats/file_kind.h"
#include "steps/step.h"

namespace qx {

class PAnonymizer : public PStep {
 public:
  explicit PAnonymizer(JobContext& context);
  // Closes the envelopes' workspace, withdraws the certificate registrations, then forgets the
  // shared Anonymizer data.
  ~PAnonymizer() override;

 protected:
  bool CheckPreconditions() override;
  void Prepare(std::vector<std::string>& files) override;
  void ProcessFile(const std::string& name) override;
  void Finish() override;

 private:
  // Makes the transfer document of one invoice; S_OK (with the document's path in `*published`)
  // or the failure to report.
  HRESULT Anonymize(const std::string& name, FileKind kind, std::string* published);
  // Writes `document` to a temporary file in "output", flushes it and moves it to `name` (or the
  // next free numbered name, given in `*published`) without replacing anything, then flushes
  // "output". On failure no document of this invoice is left there (one that could not be
  // flushed is removed again).
  HRESULT Publish(const std::string& name, const std::string& document, std::string* published);
  // Reports an invoice that could not be anonymized; it stays in "valid".
  void ReportFailure(const std::string& name, HRESULT hr);

  std::shared_ptr<AnonymizerContext> anonymizer_;
  AnonymizationTransform transform_;
  GniConverter gniConverter_;
  std::unique_ptr<CertificateCache> certificates_;
  std::string rcpt_;
  bool fileFailed_ = false;
  bool windowAcquired_ = false;
};

}  // namespace qx
