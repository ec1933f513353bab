#include "preview_command.h"

#include "status_command.h"

namespace qendix_cli {

int RunPreview(qx::IQendix* component, const std::string& file, bool json) {
  auto inspect = qx::RefPtr<qx::IQendix>::Share(component).As<qx::IQendixInspect>();
  qx::BStr report;
  qx::HRESULT hr =
      inspect ? inspect->Preview(file, json ? qx::VARIANT_TRUE : qx::VARIANT_FALSE, &report)
              : qx::E_NOINTERFACE;
  return PrintReport(("preview " + file).c_str(), hr, report);
}

}  // namespace qendix_cli
