// CCode, the code object: pseudonymous identifiers (Patient, Person), the phonetic code of a
// name (Soundex) and the encryption callback of the anonymization transform (Encrypt).
//
// Reference counted; created with one reference. A code object made for a transform carries the
// running Anonymizer's context, which Encrypt uses; one made through the class registry has none,
// and its Encrypt fails with E_UNEXPECTED. Any thread may call it.
#pragma once

#include <memory>

#include "qendix/qendix.h"

namespace qx {

class AnonymizerContext;

class CCode final : public ComObject<ICode> {
 public:
  CCode() = default;
  // A code object whose Encrypt envelopes for `anonymizer` (may be null: Encrypt then fails).
  explicit CCode(std::shared_ptr<AnonymizerContext> anonymizer);

  // "a" + status digit + 13 hexadecimal digits of the SHA-1 of the trimmed Windows-1252 text.
  HRESULT get_Patient(const Variant& id, BStr* pVal) override;
  // "a" + status bits + 28 hexadecimal digits; invalid data gives a non-zero status, not a
  // failure.
  HRESULT get_Person(const BStr& firstName, const BStr& lastName, Date birthDate,
                     const Variant& zip, BStr* pVal) override;
  // E_INVALIDARG for an empty text or one with a digit.
  HRESULT get_Soundex(const BStr& string, BStr* pVal) override;
  // `pUnk` must offer IXmlNodeList (xml_nodes.h); only its first node is used. A coding_line
  // attribute gives the IXmlDocument of its PDF data elements, any other node the envelope text.
  // An empty list gives the list's result with *pEncrypted empty.
  HRESULT Encrypt(IUnknown* pUnk, Variant* pEncrypted) override;

 private:
  ~CCode() = default;
  const std::shared_ptr<AnonymizerContext> anonymizer_;
};

// Class factory of "qendix.Code.1" / "qendix.Code": a new CCode asked for `iid`.
HRESULT CreateCodeObject(const Guid& iid, void** out);

}  // namespace qx
