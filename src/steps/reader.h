// PReader: moves the XML, GNI and PDF files of the invoice folder into "<work>/input". Its
// construction closes the component's day log, so each Read job writes into the log of its day.
#pragma once

#include "steps/step.h"

namespace qx {

class PReader final : public PStep {
 public:
  explicit PReader(JobContext& context);

 protected:
  bool CheckPreconditions() override;
  // Moves the file, unless another process still holds it open for writing: then it is treated
  // as locked (system error event, warning code 3) and stays for the next run.
  void ProcessFile(const std::string& name) override;
};

}  // namespace qx
