// The preview of one invoice: what would leave the practice for it, without sending anything,
// without moving the file and without the network or the security client.
//
// A copy of the invoice (and, with withPDF, the PDF files beside it that its payment slips name)
// goes into a private temporary work directory (mode 0700, removed at the end). The Checker step
// runs there as in a job, against the real sent-invoice register, which it only reads. An
// accepted invoice is then turned into its transfer document exactly as the Anonymizer makes it,
// except that an EnvelopeStandIn takes the security client's place: each part that would be
// sealed is recorded and stands in the document as "[sealed for RCPT: N bytes]" (N the size of the
// clear text). Then the invoice and the document are compared to list every value that was
// masked, left out or sealed, and where it stood.
//
// Runs on the calling thread; uses no shared state but the register file and the Trust Center
// directory cache, both read only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formats/file_kind.h"
#include "steps/job_context.h"

namespace qx {

// One value of the invoice that does not leave the practice as it stood.
struct PreviewValue {
  std::string where;     // its place: a path of element names (XML) or "[RECORD] field" (GNI)
  std::string value;     // as it stood in the invoice (UTF-8)
  bool inClear = false;  // the anonymized part carries it...
  std::string clear;     // ...as this text (the value itself, or masked)
  int sealedPart = 0;    // the number (from 1) of the sealed part that carries it; 0 for none
};

// One part that would be sealed for the Trust Center, in document order.
struct PreviewSealedPart {
  bool pdf = false;
  std::string name;  // the PDF's file name; empty for a text
  uint64_t bytes = 0;
};

struct PreviewResult {
  std::string fileName;  // the invoice's name, no folder
  FileKind kind = fkOther;
  // The Checker's verdict: accepted, with the error texts it gave otherwise (in its order).
  bool accepted = false;
  std::vector<std::string> checkErrors;
  std::vector<std::string> attachments;  // the PDF files that travel with the invoice
  std::string rcpt;                      // the Trust Center's recipient list
  // Failure of the anonymization (S_OK when the document was made) and its text.
  HRESULT failure = S_OK;
  std::string failureText;
  std::string document;  // the transfer document as UTF-8 with LF line ends
  std::vector<PreviewSealedPart> sealed;
  std::vector<PreviewValue> values;  // in the order they stood in the invoice
};

// Previews the invoice at `path` (UTF-8) with `settings` (its trustCenter and withPDF; the work
// directory is not used). Failures before the check (the file cannot be read, no temporary
// folder) are returned with nothing done; a refused invoice or a failed anonymization are part of
// the result (S_OK). E_INVALIDARG for a path that names no regular file.
HRESULT PreviewInvoice(const JobSettings& settings, const std::string& path, PreviewResult* result);

// The result for the screen, in the user's language.
std::string PreviewText(const PreviewResult& result);
// The result as one JSON object.
std::string PreviewJson(const PreviewResult& result);

}  // namespace qx
