#include "steps/invoice_step.h"

#include <cerrno>

#include "formats/gni_invoice.h"
#include "formats/sent_invoices.h"
#include "formats/xml_invoice.h"
#include "platform/file_system.h"
#include "platform/hresult_errno.h"
#include "platform/last_error.h"
#include "platform/module.h"
#include "support/messages.h"
#include "support/settings.h"

namespace qx {

PInvoiceStep::PInvoiceStep(JobContext& context, tagMsgOrigin origin, std::string name,
                           std::string okText, std::string failText)
    : PStep(context, origin, std::move(name), std::move(okText), std::move(failText)),
      register_(SettingsPath()) {
  register_.Load(JoinPath(ModuleDirectory(), "qendix.log"));
}

PInvoiceStep::~PInvoiceStep() {
  if (register_.dirty()) SaveRegister();
}

bool PInvoiceStep::CheckRegister() {
  if (!register_.loadFailed()) return true;
  const std::string file = BaseName(register_.path());
  if (int error = register_.loadError(); error != 0)
    Raise(mlError, mcSystem, error, file, SystemErrorText(error));
  Raise(mlError, mcModule, 7, file, LoadMessage(1125));
  return false;
}

bool PInvoiceStep::SaveRegister() {
  if (register_.Save()) return true;
  ReportRegisterError(register_.lastError());
  return false;
}

void PInvoiceStep::ReportRegisterError(int error) {
  if (error == 0) error = EIO;
  Raise(mlError, mcSystem, error, BaseName(register_.path()), SystemErrorText(error));
}

InvoiceFileRead PInvoiceStep::ReadXmlInvoice(const std::string& path, InvoiceKeys* keys,
                                             int* readError) {
  std::string recipient;
  InvoiceFileRead result = ReadXmlInvoiceFile(path, keys, &recipient, readError);
  bool ok = result == InvoiceFileRead::kRead;
  Raise(mlDebug, mcModule, 0, path, std::string(ok ? "XML" : "Not XML"));
  recipient_ = recipient;
  return result;
}

InvoiceFileRead PInvoiceStep::ReadGniInvoice(const std::string& path, InvoiceKeys* keys,
                                             int* readError) {
  InvoiceFileRead result = ReadGniInvoiceFile(path, keys, readError);
  bool ok = result == InvoiceFileRead::kRead;
  Raise(mlDebug, mcModule, 0, path, std::string(ok ? "GNI" : "Not GNI"));
  return result;
}

void PInvoiceStep::ReportUnread(const std::string& name, int error) {
  ReportSystemError(name, HresultFromErrno(error));
  Raise(mlWarning, mcModule, 3, name, failText_);
}

bool PInvoiceStep::IsDuplicate(const InvoiceKeys& keys) const {
  return qx::IsDuplicate(register_, keys);
}

void PInvoiceStep::RecordSent(const InvoiceKeys& keys) {
  qx::RecordSent(register_, keys);
}

bool PInvoiceStep::RecordDelivered(const InvoiceKeys& keys) {
  qx::RecordSent(register_, keys);
  if (register_.AppendAdded()) return true;
  ReportRegisterError(register_.lastError());
  return false;
}

}  // namespace qx
