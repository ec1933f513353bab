// PSender: uploads every transfer document in "<work>/output" to the selected Trust Center.
// Each file is read once more and checked first, in this order: its format must be known, it
// must not be a duplicate of an invoice sent before, and it must be addressed to this Trust
// Center; such files go to the day's error folder. A delivered file is recorded in the
// sent-invoice register at once (appended and flushed) and then archived or deleted, so a crash
// in between cannot make it go twice; one that cannot be archived is deleted, told. When the
// register does not take a delivery, no more documents go in that run. A file the gate refused
// goes to the error folder; a file that could not be read or delivered stays for the next run.
//
// One object per run on the job's worker thread; not thread-safe.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "net/xml_rpc_client.h"
#include "steps/invoice_step.h"

namespace qx {

class PSender : public PInvoiceStep {
 public:
  explicit PSender(JobContext& context);
  ~PSender() override;

 protected:
  bool CheckPreconditions() override;
  void Prepare(std::vector<std::string>& files) override;
  void ProcessFile(const std::string& name) override;
  void Finish() override;

 private:
  void AcquireWindow();

  std::string tcUrl_;
  std::string tcRcpt_;
  std::unique_ptr<XmlRpcClient> client_;
  bool windowAcquired_ = false;
  // A delivery of this run could not be appended to the register: no more documents go.
  bool unrecorded_ = false;
};

}  // namespace qx
