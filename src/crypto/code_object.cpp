#include "crypto/code_object.h"

#include <new>

#include "crypto/envelopes.h"
#include "crypto/identifiers.h"
#include "crypto/variant_text.h"
#include "crypto/xml_nodes.h"
#include "platform/call_guard.h"
#include "platform/codepage.h"

namespace qx {
namespace {

// Narrow (Windows-1252) and trimmed, as every argument is before the rules apply.
std::string NarrowTrimmed(std::string_view utf8) {
  return std::string(TrimBlanks(Utf8ToCp1252(utf8)));
}

HRESULT IdentifierResult(int status) {
  switch (status) {
    case kIdOk:
      return S_OK;
    case 1:
      return E_INVALIDARG;
    case 2:
      return E_OUTOFMEMORY;
    default:
      return E_UNEXPECTED;
  }
}

HRESULT SoundexResult(int status) {
  switch (status) {
    case kIdOk:
      return S_OK;
    case 1:
    case 2:
      return E_INVALIDARG;
    case 3:
      return E_OUTOFMEMORY;
    default:
      return E_UNEXPECTED;
  }
}

}  // namespace

CCode::CCode(std::shared_ptr<AnonymizerContext> anonymizer) : anonymizer_(std::move(anonymizer)) {}

HRESULT CCode::get_Patient(const Variant& id, BStr* pVal) {
  if (!pVal) return E_POINTER;
  return GuardedCall([&] {
    std::string text;
    HRESULT hr = VariantToText(id, &text);
    if (Failed(hr)) return hr;
    std::string result;
    int status = PatientId(NarrowTrimmed(text), &result);
    if (status != kIdOk) return IdentifierResult(status);
    *pVal = result;
    return S_OK;
  });
}

HRESULT CCode::get_Person(const BStr& firstName, const BStr& lastName, Date birthDate,
                          const Variant& zip, BStr* pVal) {
  if (!pVal) return E_POINTER;
  return GuardedCall([&] {
    std::string zipText;
    HRESULT hr = VariantToText(zip, &zipText);
    if (Failed(hr)) return hr;
    std::string result;
    int status =
        PersonId(NarrowTrimmed(firstName.value_or("")), NarrowTrimmed(lastName.value_or("")),
                 birthDate, NarrowTrimmed(zipText), &result);
    if (status != kIdOk) return IdentifierResult(status);
    *pVal = result;
    return S_OK;
  });
}

HRESULT CCode::get_Soundex(const BStr& string, BStr* pVal) {
  if (!pVal) return E_POINTER;
  return GuardedCall([&] {
    std::string code;
    int status = SoundexCode(NarrowTrimmed(string.value_or("")), &code);
    if (status != kIdOk) return SoundexResult(status);
    *pVal = Cp1252ToUtf8(code);
    return S_OK;
  });
}

HRESULT CCode::Encrypt(IUnknown* pUnk, Variant* pEncrypted) {
  if (!pEncrypted) return E_POINTER;
  *pEncrypted = Variant();
  if (!pUnk) return E_FAIL;
  return GuardedCall([&] {
    RefPtr<IXmlNodeList> list = RefPtr<IUnknown>::Share(pUnk).As<IXmlNodeList>();
    if (!list) return E_FAIL;
    if (!anonymizer_) return E_UNEXPECTED;  // not made for a running Anonymizer

    RefPtr<IXmlNode> node;
    HRESULT hr = list->nextNode(node.Put());
    if (Failed(hr) || !node) return hr;  // an empty list: its result, nothing encrypted
    BStr xml;
    hr = node->get_xml(&xml);
    if (Failed(hr)) return hr;
    const std::string text = xml.value_or("");

    // A coding_line attribute names the PDF of a payment slip; anything else is enveloped as
    // text.
    if (Utf8ToCp1252(text).compare(0, 12, "coding_line=") == 0) {
      RefPtr<IXmlDocument> document;
      hr = EncryptPdfs(*anonymizer_, text, &document);
      if (Failed(hr)) return hr;
      *pEncrypted = Variant(RefPtr<IUnknown>::Adopt(document.Detach()));
      return S_OK;
    }
    std::string body;
    hr = EncryptText(*anonymizer_, text, &body);
    if (Failed(hr)) return hr;
    *pEncrypted = Variant(std::move(body));
    return S_OK;
  });
}

HRESULT CreateCodeObject(const Guid& iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return GuardedCall([&] {
    RefPtr<CCode> code = RefPtr<CCode>::Adopt(new CCode);
    return code->QueryInterface(iid, out);
  });
}

}  // namespace qx
