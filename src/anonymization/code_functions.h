// The XSLT extension functions through which the anonymization stylesheet calls a code object
// (crypto/code_object.h), in the namespace "urn:qendix.CCode":
//   get-Person(first name, last name, birth date "YYYY-MM-DD", postal code) -> the identifier
//   Encrypt(node set or result tree fragment) -> the envelope text, or the nodes of the PDF data
//     elements for a coding_line attribute (for xsl:copy-of)
// A call the code object fails (an error result) stops the whole transform: libxslt is told of
// the error and the first failing result is kept for the caller.
//
// One CodeFunctions object serves one transform on one thread; it must outlive the transform
// context it is registered on.
#pragma once

#include <libxslt/xsltInternals.h>

#include <string_view>
#include <vector>

#include "crypto/xml_nodes.h"
#include "qendix/qendix.h"

namespace qx {

inline constexpr char kCodeNamespace[] = "urn:qendix.CCode";

class CodeFunctions {
 public:
  // `code` is the code object of this transform (not null).
  explicit CodeFunctions(RefPtr<ICode> code);
  CodeFunctions(const CodeFunctions&) = delete;
  CodeFunctions& operator=(const CodeFunctions&) = delete;

  // Registers both functions on `context` for this object (it takes the context's _private
  // slot). False when libxslt refuses.
  bool Register(xsltTransformContextPtr context);

  // S_OK, or the result of the first call that failed.
  HRESULT Failure() const { return failure_; }

 private:
  static void PersonEntry(xmlXPathParserContextPtr parser, int nargs);
  static void EncryptEntry(xmlXPathParserContextPtr parser, int nargs);
  // Runs one function: `call` computes the value to push; a failure stops the transform.
  template <typename Call>
  static void Run(xmlXPathParserContextPtr parser, const char* name, Call call);

  HRESULT Person(xmlXPathParserContextPtr parser, int nargs, xmlXPathObjectPtr* value);
  HRESULT Encrypt(xmlXPathParserContextPtr parser, int nargs, xmlXPathObjectPtr* value);
  void Fail(xsltTransformContextPtr context, const char* name, HRESULT hr);

  RefPtr<ICode> code_;
  // Documents that Encrypt returned: their nodes stand in the transform's node sets until the
  // transform ends.
  std::vector<RefPtr<IXmlDocument>> documents_;
  HRESULT failure_ = S_OK;
};

// The automation date of a birth date text "YYYY-MM-DD" (four, two and two digits), or 0 for an
// empty text, another form or a day that does not exist. The person identifier treats the date
// value 0 as an invalid birth date (status bit 4), so such a patient still gets an identifier.
Date BirthDateFromText(std::string_view text);

}  // namespace qx
