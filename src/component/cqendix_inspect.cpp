// IQendixInspect of the component: the status report and the preview of one invoice.
#include "component/cqendix.h"
#include "platform/call_guard.h"
#include "steps/preview.h"
#include "steps/status_report.h"

namespace qx {

HRESULT CQendix::Status(VariantBool json, BStr* report) {
  if (!report) return E_POINTER;
  return GuardedCall([&] {
    const StatusReport status = CollectStatus(Settings());
    *report = json != VARIANT_FALSE ? StatusJson(status) : StatusText(status);
    return S_OK;
  });
}

HRESULT CQendix::Preview(const BStr& path, VariantBool json, BStr* report) {
  if (!report) return E_POINTER;
  if (!path || path->empty()) return E_INVALIDARG;
  return GuardedCall([&] {
    PreviewResult result;
    HRESULT hr = PreviewInvoice(Settings(), *path, &result);
    if (Failed(hr)) return hr;
    *report = json != VARIANT_FALSE ? PreviewJson(result) : PreviewText(result);
    return result.accepted && Succeeded(result.failure) ? S_OK : S_FALSE;
  });
}

}  // namespace qx
