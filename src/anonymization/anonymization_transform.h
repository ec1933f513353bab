// AnonymizationTransform: turns an XML invoice into a transfer document with the anonymization
// stylesheet that the library carries (anonymization_stylesheet.h), run by libxslt. The
// stylesheet's extension functions call a code object made for each transform, which computes
// the patient's person identifier and envelopes the identifying parts for the Trust Center.
//
// The Anonymizer step makes one per run and feeds it one invoice after the other:
// LoadInput, Transform, SaveOutput. Each LoadInput replaces the input, each Transform the output;
// a failing call leaves none behind, so a failed invoice can never be saved.
//
// Untrusted input: the invoice is parsed without network access, DTD loading or entity
// substitution (a document that still holds an entity reference is refused), and the transform
// may neither read nor write files, create folders or use the network.
//
// Not thread-safe: one thread (the step's worker) uses an object.
#pragma once

#include <libxml/tree.h>
#include <libxslt/xsltInternals.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "qendix/qendix.h"
#include "support/event_target.h"

namespace qx {

class AnonymizerContext;

// The largest invoice file that is loaded.
inline constexpr size_t kMaxInvoiceBytes = 64u << 20;

class AnonymizationTransform {
 public:
  // Compiles the embedded stylesheets (one for version 4.0 of the XML invoice, one for 4.4, 4.5
  // and 5.0) and, when both succeeded, raises (mlDebug, mcModule,
  // moPAnonymizer, 0, no file, "XSLT loaded") through `events` (used only here).
  // `generatorText` (UTF-8) becomes the libVersion parameter of every transform.
  AnonymizationTransform(EventTarget& events, std::string generatorText);
  // The same with another stylesheet text for version 4.0 (tests and benchmarks); the newer
  // versions keep the embedded one.
  AnonymizationTransform(EventTarget& events, std::string generatorText,
                         std::string_view stylesheet);
  ~AnonymizationTransform();
  AnonymizationTransform(const AnonymizationTransform&) = delete;
  AnonymizationTransform& operator=(const AnonymizationTransform&) = delete;

  // True when both stylesheets compiled; otherwise every Transform fails.
  bool Loaded() const { return stylesheet_ != nullptr && currentStylesheet_ != nullptr; }
  const std::string& GeneratorText() const { return generatorText_; }

  // Loads the invoice at `path` (UTF-8). Refused: a symbolic link (ELOOP), anything but a
  // regular file (EINVAL), a file over kMaxInvoiceBytes (EFBIG), as errno HRESULTs (facility 7);
  // other system errors likewise. XML that is not (namespace) well-formed, or holds an entity
  // reference: E_FAIL. The root's namespace picks the stylesheet (version 4.0, or 4.4/4.5/5.0);
  // a document whose root is in neither namespace: E_NOTIMPL, so that it is never sent unmasked. On
  // failure no input is left loaded.
  HRESULT LoadInput(const std::string& path);

  // Runs the stylesheet on the loaded input with the parameters filename = `fileName` (no
  // folder), libVersion = the generator text, rcpt = `rcpt`, and withPDF = 1 only when
  // `withPdf`. Its extension functions call a new CCode(anonymizer). Results:
  //  - S_OK: the output is ready for SaveOutput;
  //  - E_UNEXPECTED: no stylesheet or no input loaded;
  //  - E_INVALIDARG: a parameter that is not well-formed UTF-8 or holds a control character;
  //  - the code object's failure result when one of its calls failed (an envelope, say);
  //  - E_FAIL when libxslt failed otherwise (for instance the stylesheet asked for a file).
  // On failure no output is left; ErrorText() holds libxslt's messages.
  HRESULT Transform(const std::string& fileName, const std::string& rcpt, bool withPdf,
                    std::shared_ptr<AnonymizerContext> anonymizer);

  // The transformed document as UTF-8 XML beginning with an XML declaration of UTF-8. No file
  // I/O. E_UNEXPECTED when the last Transform did not succeed; E_OUTOFMEMORY.
  HRESULT SaveOutput(std::string* document);

  // libxslt's messages (at most 1 KB) of the last Transform that failed; empty otherwise.
  const std::string& ErrorText() const { return errorText_; }

 private:
  struct DocFree {
    void operator()(xmlDocPtr doc) const { xmlFreeDoc(doc); }
  };
  using Doc = std::unique_ptr<xmlDoc, DocFree>;

  static xsltStylesheetPtr Compile(std::string_view stylesheet);
  HRESULT RunStylesheet(const std::string& fileName, const std::string& rcpt, bool withPdf,
                        std::shared_ptr<AnonymizerContext> anonymizer);

  const std::string generatorText_;
  xsltStylesheetPtr stylesheet_ = nullptr;         // version 4.0
  xsltStylesheetPtr currentStylesheet_ = nullptr;  // versions 4.4, 4.5, 5.0
  xsltStylesheetPtr active_ = nullptr;             // the one for the loaded input
  Doc input_;
  Doc output_;
  std::string errorText_;
};

}  // namespace qx
