// PReader: moves the XML, GNI and PDF files of the invoice folder into "<work>/input". Its
// construction closes the component's day log, so each Read job writes into the log of its day.
#pragma once

#include "platform/writer_check.h"
#include "steps/step.h"

namespace qx {

class PReader final : public PStep {
 public:
  explicit PReader(JobContext& context);

 protected:
  bool CheckPreconditions() override;
  // Files of the invoice folder that cannot be read are left alone without a message: the folder
  // may hold anyone's files.
  bool ReportsUnreadableFiles() const override { return false; }
  // Looks at all listed files for writers at once (WriterCheck: one pause for all files the
  // kernel cannot tell about).
  void Prepare(std::vector<std::string>& files) override;
  // Moves the file, unless another process may still be writing it: then it is treated as locked
  // (system error event EBUSY, warning code 3) and stays for the next run. A name that no longer
  // holds a regular file (a link or FIFO swapped in) is refused the same way with its cause.
  void ProcessFile(const std::string& name) override;

 private:
  WriterCheck writers_;
};

}  // namespace qx
