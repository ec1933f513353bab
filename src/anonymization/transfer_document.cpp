#include "anonymization/transfer_document.h"

namespace qx {

HRESULT MakeTransferDocument(AnonymizationTransform& transform, GniConverter& converter,
                             FileKind kind, const std::string& path, const std::string& name,
                             const std::string& rcpt, bool withPdf,
                             const std::shared_ptr<AnonymizerContext>& anonymizer,
                             std::string* document) {
  if (!document) return E_POINTER;
  document->clear();
  if (!anonymizer) return E_UNEXPECTED;
  if (kind == fkXml) {
    HRESULT hr = transform.LoadInput(path);
    if (Succeeded(hr)) hr = transform.Transform(name, rcpt, withPdf, anonymizer);
    if (Succeeded(hr)) hr = transform.SaveOutput(document);
    if (Failed(hr)) document->clear();
    return hr;
  }
  if (kind != fkGni) return E_INVALIDARG;
  converter.SetInput(path);
  HRESULT hr = converter.Convert(name, rcpt, withPdf, *anonymizer);
  if (Succeeded(hr)) *document = converter.Document();
  return hr;
}

}  // namespace qx
