// GniConverter turns a GNI invoice file into the transfer document for a Trust Center:
//
//   <?xml version="1.0" encoding="iso-8859-1"?>
//   <qendix:datatransfer xmlns:qendix="NAMESPACE" rcpt="RCPT">
//     <qendix:generator>GENERATOR</qendix:generator>
//     <qendix:data name="NAME" type="anonymized">ANONYMIZED TEXT</qendix:data>
//     <qendix:data type="patient">SEALED IDENTIFYING TEXT</qendix:data>
//   [one PDF data element per coding line whose PDF is found, with withPdf]
//   </qendix:datatransfer>
//
// (exact line layout in gni_converter.cpp). The anonymized and identifying texts come from
// GniSplitter; the identifying text is sealed with EncryptText, the PDFs with EncryptPdfs, both
// for the running Anonymizer's sender and recipients. The document carries the file's
// Windows-1252 bytes unchanged under its ISO-8859-1 declaration, with CR LF line ends.
//
// The Anonymizer step owns one converter for its run and calls, per GNI file, SetInput, Convert
// and, on success, saves Document() itself. Not thread-safe: one converter per step thread.
#pragma once

#include <string>
#include <vector>

#include "anonymization/gni_splitter.h"
#include "crypto/anonymizer_context.h"
#include "qendix/com.h"

namespace qx {

class GniConverter {
 public:
  // The largest GNI file that is converted.
  static constexpr size_t kMaxInputBytes = 64u << 20;

  // `generatorText`: the version text, " / " and the system description (UTF-8), written as
  // the document's generator.
  explicit GniConverter(std::string generatorText);
  GniConverter(const GniConverter&) = delete;
  GniConverter& operator=(const GniConverter&) = delete;

  // Fresh state for a new file at `path` (UTF-8): the document is emptied and nothing of the
  // previous file (patient values, coding lines, texts) carries over.
  void SetInput(const std::string& path);

  // Builds the transfer document of the input for the data name `name` (the file name without
  // folder) and the recipient list `rcpt` (both UTF-8, written escaped as attribute values),
  // sealing the identifying text and, with `withPdf`, the PDF of each coding line through
  // `anonymizer`. PDFs sealed here are recorded in `anonymizer` as enveloped; the caller delivers
  // them after saving the document or forgets them when the invoice fails.
  // Results: S_OK; a system error of reading the input as facility-7 HRESULT (a symbolic link,
  // ELOOP; not a regular file, EINVAL; larger than kMaxInputBytes, EFBIG); E_FAIL when the file
  // is not a GNI invoice the parser accepts; E_UNEXPECTED without input; or the failure of
  // EncryptText or EncryptPdfs. On failure Document() is empty.
  HRESULT Convert(const std::string& name, const std::string& rcpt, bool withPdf,
                  AnonymizerContext& anonymizer);

  // The finished document exactly as it is to be saved (CR LF line ends, the invoice's bytes as
  // read). Empty until Convert succeeds.
  const std::string& Document() const { return document_; }

  // The coding lines of the last converted file, in file order (Windows-1252, unescaped).
  const std::vector<std::string>& CodingLines() const { return splitter_.CodingLines(); }

 private:
  HRESULT Build(const std::string& name, const std::string& rcpt, bool withPdf,
                AnonymizerContext& anonymizer, std::string* document);

  const std::string generatorText_;
  std::string inputPath_;
  std::string document_;
  GniSplitter splitter_;
};

// Reads the regular file at `path` whole, without following a symbolic link and without
// blocking on a FIFO. Fails with the system error as facility-7 HRESULT: ELOOP for a symbolic
// link, EINVAL for anything but a regular file, EFBIG above `maxBytes`.
HRESULT ReadInputFile(const std::string& path, size_t maxBytes, std::string* bytes);

}  // namespace qx
