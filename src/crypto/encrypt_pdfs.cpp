#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstring>

#include "crypto/anonymizer_context.h"
#include "crypto/base64_encoder.h"
#include "crypto/envelopes.h"
#include "crypto/message_file.h"
#include "crypto/smime_envelope.h"
#include "platform/codepage.h"
#include "platform/fault_injection.h"
#include "platform/hresult_errno.h"
#include "platform/secure_wipe.h"
#include "platform/unique_fd.h"

namespace qx {
namespace {

constexpr size_t kMaxCodingLineBytes = 128;

// Opens the PDF at `path` for reading after the checks every envelope of a slip makes: not a
// link, a regular file (a FIFO does not block the open), at most kMaxPdfBytes; *size is its size.
HRESULT OpenPdf(const std::string& path, UniqueFd* fd, size_t* size) {
  UniqueFd opened(sys::Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!opened.valid()) return HresultFromErrno(errno);
  struct stat st {};
  if (::fstat(opened.get(), &st) != 0) return HresultFromErrno(errno);
  if (!S_ISREG(st.st_mode)) return HresultFromErrno(EINVAL);
  if (static_cast<unsigned long long>(st.st_size) > kMaxPdfBytes) return HresultFromErrno(EFBIG);
  *fd = std::move(opened);
  *size = static_cast<size_t>(st.st_size);
  return S_OK;
}

// Appends the PDF at `path` to the message file in base64 lines, reading it in blocks.
HRESULT AppendPdfAsBase64(const std::string& path, MessageWriter& file) {
  UniqueFd fd;
  size_t pdfBytes = 0;
  HRESULT opened = OpenPdf(path, &fd, &pdfBytes);
  if (Failed(opened)) return opened;
  // Base64 lines: 65 characters for every 48 bytes, and one shorter line.
  file.Reserve(pdfBytes / Base64Encoder::kLineBytes * 65 + 72);

  // The slip's bytes and their base64 lines are wiped from memory on every way out.
  std::string lines;
  WipeOnExit wipeLines(lines);
  Base64Encoder encoder(&lines);
  char block[kPdfBlockBytes];
  struct WipeBlock {
    char* data;
    ~WipeBlock() { SecureWipe(data, kPdfBlockBytes); }
  } wipeBlock{block};
  size_t total = 0;
  for (;;) {
    ssize_t got = sys::Read(fd.get(), block, sizeof block);
    if (got < 0) {
      if (errno == EINTR) continue;
      return HresultFromErrno(errno);
    }
    if (got == 0) break;
    total += static_cast<size_t>(got);
    if (total > kMaxPdfBytes) return HresultFromErrno(EFBIG);  // grew while being read
    encoder.Write(block, static_cast<size_t>(got));
    HRESULT hr = file.Append(lines);
    if (Failed(hr)) return hr;
    lines.clear();
  }
  encoder.Finish();
  return file.Append(lines);
}

// What a stand-in is shown of the PDF at `path`: its size, after the checks the envelope makes.
HRESULT ShowPdfToStandIn(EnvelopeStandIn& standIn, const std::string& path, const std::string& name,
                         std::string* body) {
  UniqueFd fd;
  size_t pdfBytes = 0;
  HRESULT opened = OpenPdf(path, &fd, &pdfBytes);
  if (Failed(opened)) return opened;
  SealedPart part;
  part.kind = SealedPart::kPdf;
  part.name = name;
  part.clearBytes = static_cast<uint64_t>(pdfBytes);
  return standIn.Seal(part, body);
}

// Envelopes one PDF and hands its envelope's body to `take`.
HRESULT EnvelopePdf(const AnonymizerContext& context, const std::string& name,
                    const EnvelopeBodyTaker& take) {
  const std::string folder = context.ValidFolder();
  if (folder.empty()) return E_UNEXPECTED;
  const std::string sender = context.Sender();
  const std::string rcpt = context.Rcpt();
  if (sender.find_first_of("\r\n") != std::string::npos ||
      rcpt.find_first_of("\r\n") != std::string::npos)
    return E_INVALIDARG;
  if (const auto standIn = context.StandIn()) {
    std::string body;
    HRESULT hr = ShowPdfToStandIn(*standIn, folder + "/" + name, name, &body);
    return Succeeded(hr) ? take(body) : hr;
  }

  const std::string header =
      "From: " + Utf8ToCp1252(sender) + "\nTo: " + Utf8ToCp1252(rcpt) + "\n\n";
  return SealMessageTo(
      context,
      [&](MessageWriter& file) {
        HRESULT appended = file.Append(header);
        return Succeeded(appended) ? AppendPdfAsBase64(folder + "/" + name, file) : appended;
      },
      take);
}

// Bytes that cannot stand in XML content as they are: markup, control characters but tab and LF.
constexpr std::array<bool, 256> kNotPlain = [] {
  std::array<bool, 256> table{};
  for (int b = 0; b < 0x20; ++b) table[b] = b != '\t' && b != '\n';
  table['<'] = table['&'] = table['>'] = table[0x7F] = true;
  return table;
}();

// True when `text` stands in XML content as it is: no markup, no character reference, no
// control character but tab and LF. An envelope body (base64 lines) always is.
bool IsPlainContent(std::string_view text) {
  // Sixteen bytes at a time (GCC and Clang vector types: SSE2, NEON or plain code), the rest by
  // the table; no early exit.
  typedef unsigned char Bytes16 __attribute__((vector_size(16)));
  Bytes16 notPlain16 = {};
  size_t i = 0;
  for (; i + 16 <= text.size(); i += 16) {
    Bytes16 v;
    std::memcpy(&v, text.data() + i, 16);
    notPlain16 |= ((v < 0x20) & (v != '\t') & (v != '\n')) | (v == '<') | (v == '&') | (v == '>') |
                  (v == 0x7F);
  }
  bool notPlain = false;
  for (int k = 0; k < 16; ++k) notPlain |= notPlain16[k] != 0;
  for (; i < text.size(); ++i) notPlain |= kNotPlain[static_cast<unsigned char>(text[i])];
  return !notPlain;
}

// The document of the PDF data elements: each element's start tag, the envelope body and its end
// tag, parsed as one text. A body that is plain content is not parsed with the rest but added as
// the element's text afterwards, which gives the same tree without parsing the body's bytes.
HRESULT PdfDataDocument(const std::vector<std::string>& names,
                        const std::vector<std::string_view>& bodies,
                        RefPtr<IXmlDocument>* document) {
  bool plain = true;
  for (std::string_view body : bodies) plain = plain && IsPlainContent(body);
  std::string elements;
  for (size_t i = 0; i < names.size(); ++i) {
    elements += PdfDataElementStart(names[i]);
    if (!plain) elements += bodies[i];
    elements += "</qendix:data>";
  }
  HRESULT hr = LoadXmlDocument(elements, document);
  if (Failed(hr) || !plain) return hr;
  // Several elements are no well-formed document: only a single one has a root to fill.
  xmlNode* root = xmlDocGetRootElement((*document)->Document());
  if (!root || bodies.size() != 1 || bodies[0].empty()) return S_OK;
  if (bodies[0].size() > static_cast<size_t>(INT_MAX)) return E_OUTOFMEMORY;
  xmlNode* text = xmlNewDocTextLen(root->doc, reinterpret_cast<const xmlChar*>(bodies[0].data()),
                                   static_cast<int>(bodies[0].size()));
  if (!text) return E_OUTOFMEMORY;
  if (!xmlAddChild(root, text)) {
    xmlFreeNode(text);
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

}  // namespace

std::vector<std::string> QuotedValues(std::string_view text) {
  std::vector<std::string> values;
  size_t pos = 0;
  for (;;) {
    size_t open = text.find('"', pos);
    if (open == std::string_view::npos) break;
    size_t close = text.find('"', open + 1);
    if (close == std::string_view::npos) break;
    values.emplace_back(text.substr(open + 1, close - open - 1));
    pos = close + 1;
  }
  return values;
}

std::string UnescapeCodingLine(std::string_view value) {
  if (value.size() > kMaxCodingLineBytes) value = value.substr(0, kMaxCodingLineBytes);
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '&') {
      out += value[i];
    } else if (value.substr(i, 4) == "&lt;") {
      out += '<';
      i += 3;
    } else if (value.substr(i, 4) == "&gt;") {
      out += '>';
      i += 3;
    }
    // any other "&" is dropped; the characters after it stay
  }
  return out;
}

std::string CleanReference(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == ' ') continue;
    out += (c == '+' || c == '-' || c == '<' || c == '>') ? '_' : c;
  }
  return out;
}

std::string PdfDataElementStart(std::string_view name) {
  std::string start = "<qendix:data name=\"";
  AppendXmlEscaped(start, name);
  start += "\" type=\"pdf\" xmlns:qendix=\"";
  start += kTransferNamespace;
  start += "\">";
  return start;
}

HRESULT EncryptPdfs(AnonymizerContext& context, std::string_view codingLineXml,
                    RefPtr<IXmlDocument>* document) {
  if (!document) return E_POINTER;
  document->Reset();

  std::vector<std::string> enveloped;
  for (const std::string& value : QuotedValues(codingLineXml)) {
    std::optional<std::string> name = context.FindPdf(CleanReference(UnescapeCodingLine(value)));
    // A slip that may only have been missed (a file of the folder could not be read) is waited
    // for: the document is not made without it.
    if (!name && context.PdfListIncomplete()) return E_FAIL;
    if (name) enveloped.push_back(std::move(*name));
  }

  RefPtr<IXmlDocument> result;
  HRESULT hr;
  if (enveloped.size() == 1) {
    // The one body goes from the client's text straight into the document.
    hr = EnvelopePdf(context, enveloped[0], [&](std::string_view body) {
      return PdfDataDocument(enveloped, {body}, &result);
    });
  } else {
    std::vector<std::string> bodies;
    hr = S_OK;
    for (size_t i = 0; i < enveloped.size() && Succeeded(hr); ++i)
      hr = EnvelopePdf(context, enveloped[i], [&](std::string_view body) {
        bodies.emplace_back(body);
        return S_OK;
      });
    if (Succeeded(hr))
      hr = PdfDataDocument(enveloped, std::vector<std::string_view>(bodies.begin(), bodies.end()),
                           &result);
  }
  if (Failed(hr)) return hr;
  // Only PDFs that really travel in the document are recorded for deletion after the save.
  if (xmlDocGetRootElement(result->Document()))
    for (const std::string& name : enveloped) context.MarkEnveloped(name);
  *document = std::move(result);
  return S_OK;
}

}  // namespace qx
