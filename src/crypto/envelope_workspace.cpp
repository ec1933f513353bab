#include "crypto/envelope_workspace.h"

#include <new>

#include "crypto/asas_objects.h"
#include "platform/secure_wipe.h"

namespace qx {

HRESULT EnvelopeWorkspace::Create(std::unique_ptr<EnvelopeWorkspace>* workspace) {
  if (!workspace) return E_POINTER;
  workspace->reset();
  std::unique_ptr<EnvelopeWorkspace> made(new (std::nothrow) EnvelopeWorkspace);
  if (!made) return E_OUTOFMEMORY;
  HRESULT hr = MessageFolder::Create(&made->folder_);
  if (Failed(hr)) return hr;
  *workspace = std::move(made);
  return S_OK;
}

EnvelopeWorkspace::~EnvelopeWorkspace() {
  if (message_) SecureWipe(*message_);
}

HRESULT EnvelopeWorkspace::Smime(RefPtr<IAsasSmime>* smime) {
  if (!smime) return E_POINTER;
  if (!smime_) {
    HRESULT hr = CreateAsasObject("ASAS.SMIME", &smime_);
    if (Failed(hr)) return hr;
  }
  *smime = smime_;
  return S_OK;
}

}  // namespace qx
