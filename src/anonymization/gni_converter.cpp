#include "anonymization/gni_converter.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <exception>
#include <new>
#include <utility>

#include "anonymization/document_text.h"
#include "crypto/envelopes.h"
#include "crypto/message_file.h"
#include "formats/xml_namespaces.h"
#include "platform/codepage.h"
#include "platform/fault_injection.h"
#include "platform/unique_fd.h"

namespace qx {

HRESULT ReadInputFile(const std::string& path, size_t maxBytes, std::string* bytes) {
  if (!bytes) return E_POINTER;
  bytes->clear();
  // O_NONBLOCK keeps a FIFO from blocking the open; only a regular file is read.
  int fd = sys::Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return HresultFromErrno(errno);
  UniqueFd closer(fd);
  struct stat info {};
  if (::fstat(fd, &info) != 0) return HresultFromErrno(errno);
  if (!S_ISREG(info.st_mode)) return HresultFromErrno(EINVAL);
  if (info.st_size < 0 || static_cast<unsigned long long>(info.st_size) > maxBytes)
    return HresultFromErrno(EFBIG);

  if (AllocationFault()) return E_OUTOFMEMORY;
  std::string content;
  content.reserve(static_cast<size_t>(info.st_size));
  char block[64 * 1024];
  for (;;) {
    ssize_t got = sys::Read(fd, block, sizeof block);
    if (got < 0) {
      if (errno == EINTR) continue;
      return HresultFromErrno(errno);
    }
    if (got == 0) break;
    if (static_cast<size_t>(got) > maxBytes - content.size())
      return HresultFromErrno(EFBIG);  // grew while being read
    content.append(block, static_cast<size_t>(got));
  }
  *bytes = std::move(content);
  return S_OK;
}

GniConverter::GniConverter(std::string generatorText) : generatorText_(std::move(generatorText)) {}

void GniConverter::SetInput(const std::string& path) {
  inputPath_ = path;
  document_.clear();
  splitter_.Clear();
}

HRESULT GniConverter::Convert(const std::string& name, const std::string& rcpt, bool withPdf,
                              AnonymizerContext& anonymizer) {
  document_.clear();
  if (inputPath_.empty()) return E_UNEXPECTED;
  std::string document;
  HRESULT hr;
  try {
    hr = Build(name, rcpt, withPdf, anonymizer, &document);
  } catch (const std::bad_alloc&) {
    hr = E_OUTOFMEMORY;
  } catch (const std::exception&) {
    hr = E_FAIL;
  }
  // The identifying text stays in memory no longer than needed.
  splitter_.Clear();
  if (Failed(hr)) return hr;
  document_ = std::move(document);
  return S_OK;
}

// The layout, one line per row (LF here, CR LF in the result):
//   <?xml version="1.0" encoding="iso-8859-1"?>
//   <qendix:datatransfer xmlns:qendix="NAMESPACE" rcpt="RCPT">
//     <qendix:generator>GENERATOR</qendix:generator>
//     <qendix:data name="NAME" type="anonymized">   directly followed by the anonymized lines
//   </qendix:data>
//     <qendix:data type="patient">                  directly followed by the sealed body lines
//   </qendix:data>
//   the PDF data elements, each as the document of EncryptPdfs gives its XML (no line end)
//   </qendix:datatransfer>
HRESULT GniConverter::Build(const std::string& name, const std::string& rcpt, bool withPdf,
                            AnonymizerContext& anonymizer, std::string* document) {
  std::string input;
  HRESULT hr = ReadInputFile(inputPath_, kMaxInputBytes, &input);
  if (Failed(hr)) return hr;
  if (!splitter_.Split(input)) return E_FAIL;
  input.clear();

  std::string& out = *document;
  out.reserve(splitter_.Anonymized().size() + 4 * splitter_.Identifying().size() / 3 + 1024);
  out += "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n";
  out += "<qendix:datatransfer xmlns:qendix=\"";
  out += kTransferNamespace;
  out += "\" rcpt=\"";
  AppendXmlValue(out, rcpt, /*attribute=*/true);
  out += "\">\n";
  out += "  <qendix:generator>";
  AppendXmlValue(out, generatorText_, /*attribute=*/false);
  out += "</qendix:generator>\n";
  out += "  <qendix:data name=\"";
  AppendXmlValue(out, name, /*attribute=*/true);
  out += "\" type=\"anonymized\">";
  out += splitter_.Anonymized();
  out += "</qendix:data>\n";

  out += "  <qendix:data type=\"patient\">";
  std::string body;
  hr = EncryptText(anonymizer, Cp1252ToUtf8(splitter_.Identifying()), &body);
  if (Failed(hr)) return hr;
  AppendDocumentBytes(out, body);
  out += "</qendix:data>\n";

  if (withPdf) {
    for (const std::string& codingLine : splitter_.CodingLines()) {
      RefPtr<IXmlDocument> attachment;
      hr = EncryptPdfs(anonymizer, "coding_line=\"" + Cp1252ToUtf8(codingLine) + "\"", &attachment);
      if (Failed(hr)) return hr;
      if (!attachment) return E_FAIL;
      BStr xml;
      hr = attachment->get_xml(&xml);
      if (Failed(hr)) return hr;
      if (!xml) return E_FAIL;
      // A coding line without its PDF gives an empty document: nothing to attach.
      AppendDocumentBytes(out, *xml);
    }
  }
  out += "</qendix:datatransfer>\n";
  out = WithCrLf(out);
  return S_OK;
}

}  // namespace qx
