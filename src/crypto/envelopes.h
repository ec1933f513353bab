// S/MIME envelopes for the Trust Center, made by the security client for the sender and the
// recipients of the running Anonymizer (anonymizer_context.h):
//  - EncryptText envelopes a text (an XML fragment, the identifier list, a GNI invoice's
//    identifying lines);
//  - EncryptPdfs envelopes the PDF file that a payment-slip coding line names and returns it as
//    a transfer data element.
// They run on the calling thread; the pauses between tries of the security client (the context's
// RetryWait) block it.
#pragma once

#include "formats/xml_namespaces.h"

#include <string>
#include <string_view>
#include <vector>

#include "crypto/anonymizer_context.h"
#include "crypto/xml_nodes.h"
#include "qendix/com.h"

namespace qx {

// The largest PDF that is enveloped.
constexpr size_t kMaxPdfBytes = 16u << 20;
// Bytes of the PDF read and encoded at a time.
constexpr size_t kPdfBlockBytes = 6144;

// Envelopes `text` (UTF-8). The message file holds "From: " sender, CR LF, "To: " recipients,
// CR LF, CR LF and the text as Windows-1252 bytes with CR LF line ends. On success *body is the
// encrypted body (UTF-8, lines ending in LF). A sender or recipient list that holds a line break
// is refused with E_INVALIDARG.
HRESULT EncryptText(const AnonymizerContext& context, std::string_view text, std::string* body);

// Envelopes the PDF of each coding line quoted in `codingLineXml` (the XML text of a
// coding_line attribute: coding_line="..."). A PDF matches when its name begins with the
// cleaned coding line (see CleanReference), case-insensitively; a coding line without a PDF is
// passed over. *document receives the PDF data elements (an empty document when there are none).
// The PDFs stay in the valid folder and are recorded in the context as enveloped; the Anonymizer
// deletes them once the transfer document that carries them has been saved
// (AnonymizerContext::DeleteEnvelopedPdfs). A PDF that cannot be read, or is larger than
// kMaxPdfBytes, fails the call with its system error.
HRESULT EncryptPdfs(AnonymizerContext& context, std::string_view codingLineXml,
                    RefPtr<IXmlDocument>* document);

// The values between pairs of double quotes in `text`, in order.
std::vector<std::string> QuotedValues(std::string_view text);

// Undoes the escaping of an attribute value as far as coding lines need it: "&lt;" and "&gt;"
// become "<" and ">", any other "&" is dropped; at most 128 bytes of `value` are read.
std::string UnescapeCodingLine(std::string_view value);

// The file-name key of a reference: blanks removed, "+", "-", "<" and ">" turned into "_".
std::string CleanReference(std::string_view text);

// The start tag of a PDF data element for the PDF named `name`.
std::string PdfDataElementStart(std::string_view name);

}  // namespace qx
