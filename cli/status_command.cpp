#include "status_command.h"

#include <cstdio>

namespace qendix_cli {

int PrintReport(const char* what, qx::HRESULT hr, const qx::BStr& report) {
  if (qx::Failed(hr) || !report) {
    std::fprintf(stderr, "qendix: %s failed: 0x%08X\n", what, static_cast<unsigned>(hr));
    return 4;
  }
  std::fputs(report->c_str(), stdout);
  if (report->empty() || report->back() != '\n') std::fputc('\n', stdout);
  std::fflush(stdout);
  return hr == qx::S_OK ? 0 : 1;
}

int RunStatus(qx::IQendix* component, bool json) {
  auto inspect = qx::RefPtr<qx::IQendix>::Share(component).As<qx::IQendixInspect>();
  qx::BStr report;
  qx::HRESULT hr = inspect ? inspect->Status(json ? qx::VARIANT_TRUE : qx::VARIANT_FALSE, &report)
                           : qx::E_NOINTERFACE;
  return PrintReport("status", hr, report);
}

}  // namespace qendix_cli
