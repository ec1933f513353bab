#include "component/cqendix.h"

#include <cerrno>
#include <new>

#include "component/ccenters.h"
#include "component/job_control.h"
#include "component/module_state.h"
#include "net/center_directory.h"
#include "net/download_window.h"
#include "platform/call_guard.h"
#include "platform/class_registry.h"
#include "platform/file_system.h"
#include "platform/last_error.h"
#include "support/settings.h"
#include "support/system_description.h"

namespace qx {

HRESULT CQendix::CreateInstance(const Guid& iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  EnsureModuleInitialized();
  return GuardedCall([&] {
    RefPtr<CQendix> object = RefPtr<CQendix>::Adopt(new CQendix());
    object->LoadSettings();
    return object->QueryInterface(iid, out);
  });
}

CQendix::CQendix() : eventSource_(static_cast<IQendix*>(this)) {
  ModuleObjectCreated();
  // A security client that is not installed leaves these empty.
  CreateObjectByProgId("Asas.Client", IAsasClient::kIid, asasClient_.PutVoid());
  CreateObjectByProgId("Asas.Client.Conf", IAsasClientConf::kIid, asasConf_.PutVoid());
}

CQendix::~CQendix() {
  // The download page thread ends with the component that the steps used it for.
  DownloadWindow::Instance().Release(true);
  StoreSettings();
  CloseLog();
  asasConf_.Reset();
  asasClient_.Reset();
  eventSource_.Clear();
  ModuleObjectDestroyed();
}

void CQendix::LoadSettings() {
  SettingsValues v = qx::LoadSettings();
  HRESULT hr = put_trustCenter(v.trustCenter.value_or(std::string()));
  if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
  std::lock_guard lock(state_);
  // Without a readable directory the configured label is kept all the same (its Trust Center
  // values stay empty), so that the release does not remove it from the file.
  if (Failed(hr) && v.trustCenter && !v.trustCenter->empty()) trustCenter_ = v.trustCenter;
  settingsUnreadable_ = v.unreadable;
  inputDirectory_ = v.inputDirectory;
  workDirectory_ = v.workDirectory;
  asasLogin_ = v.asasLogin;
  options_ = v.options;
}

void CQendix::StoreSettings() {
  SettingsValues v;
  {
    std::lock_guard lock(state_);
    v.trustCenter = trustCenter_;
    v.inputDirectory = inputDirectory_;
    v.workDirectory = workDirectory_;
    v.asasLogin = asasLogin_;
    v.options = options_;
    v.unreadable = settingsUnreadable_;
  }
  qx::StoreSettings(v);
}

// --- accessors -----------------------------------------------------------------------------

HRESULT CQendix::GetString(const BStr& field, BStr* pVal) const {
  if (!pVal) return E_POINTER;
  return GuardedCall([&] {
    std::lock_guard lock(state_);
    *pVal = field;
    return S_OK;
  });
}

HRESULT CQendix::PutString(BStr& field, const BStr& value) {
  return GuardedCall([&] {
    std::lock_guard lock(state_);
    field = value;
    return S_OK;
  });
}

HRESULT CQendix::GetOption(uint32_t bit, VariantBool* pVal) const {
  if (!pVal) return E_POINTER;
  std::lock_guard lock(state_);
  *pVal = (options_ & bit) ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT CQendix::PutOption(uint32_t bit, VariantBool value) {
  std::lock_guard lock(state_);
  if (value == VARIANT_TRUE)
    options_ |= bit;
  else
    options_ &= ~bit;
  return S_OK;
}

HRESULT CQendix::get_qendixVersion(BStr* pVal) {
  if (!pVal) return E_POINTER;
  return GuardedCall([&] {
    *pVal = std::string(kVersionText);
    return S_OK;
  });
}

HRESULT CQendix::get_trustCenters(IQendixCollection** pVal) {
  if (!pVal) return E_POINTER;
  *pVal = nullptr;
  return GuardedCall([&] {
    CenterDirectory directory;
    std::vector<std::string> labels;
    if (directory.LoadCache()) labels = directory.labels();
    return CCenters::Create(std::move(labels), pVal);
  });
}

HRESULT CQendix::get_trustCenter(BStr* pVal) {
  return GetString(trustCenter_, pVal);
}

HRESULT CQendix::put_trustCenter(const BStr& newVal) {
  return GuardedCall([&] {
    CenterDirectory directory;
    if (!directory.LoadCache()) return E_FAIL;
    std::string label = newVal.value_or(std::string());
    std::string ean = directory.Ean(label);
    auto esr = static_cast<uint8_t>(LeadingNumber(directory.Esr(label)) & 0xFF);
    auto esr_pdf = static_cast<uint8_t>(LeadingNumber(directory.EsrPdf(label)) & 0xFF);
    std::string tel = directory.Tel(label);
    std::lock_guard lock(state_);
    ean_ = std::move(ean);
    esr_ = esr;
    esrPDF_ = esr_pdf;
    tcTel_ = std::move(tel);
    trustCenter_ = newVal;
    return S_OK;
  });
}

HRESULT CQendix::get_inputDirectory(BStr* pVal) {
  return GetString(inputDirectory_, pVal);
}

HRESULT CQendix::put_inputDirectory(const BStr& newVal) {
  return PutString(inputDirectory_, newVal);
}

HRESULT CQendix::get_workDirectory(BStr* pVal) {
  return GetString(workDirectory_, pVal);
}

HRESULT CQendix::put_workDirectory(const BStr& newVal) {
  return PutString(workDirectory_, newVal);
}

HRESULT CQendix::get_withPDF(VariantBool* pVal) {
  return GetOption(kOptionWithPdf, pVal);
}
HRESULT CQendix::put_withPDF(VariantBool newVal) {
  return PutOption(kOptionWithPdf, newVal);
}
HRESULT CQendix::get_withArchive(VariantBool* pVal) {
  return GetOption(kOptionWithArchive, pVal);
}
HRESULT CQendix::put_withArchive(VariantBool newVal) {
  return PutOption(kOptionWithArchive, newVal);
}
HRESULT CQendix::get_debug(VariantBool* pVal) {
  return GetOption(kOptionDebug, pVal);
}
HRESULT CQendix::put_debug(VariantBool newVal) {
  return PutOption(kOptionDebug, newVal);
}

HRESULT CQendix::get_ean(BStr* pVal) {
  return GetString(ean_, pVal);
}
HRESULT CQendix::get_tcTel(BStr* pVal) {
  return GetString(tcTel_, pVal);
}
HRESULT CQendix::get_session(BStr* pVal) {
  if (!pVal) return E_POINTER;
  return GuardedCall([&] {
    std::lock_guard lock(state_);
    *pVal = session_;
    return S_OK;
  });
}

HRESULT CQendix::GetEsrNumber(const uint8_t& field, BStr* pVal) const {
  if (!pVal) return E_POINTER;
  return GuardedCall([&] {
    std::lock_guard lock(state_);
    *pVal = std::to_string(field);
    return (field == 0 || field >= 100) ? S_FALSE : S_OK;
  });
}

HRESULT CQendix::get_esr(BStr* pVal) {
  return GetEsrNumber(esr_, pVal);
}
HRESULT CQendix::get_esrPDF(BStr* pVal) {
  return GetEsrNumber(esrPDF_, pVal);
}

HRESULT CQendix::get_asasVersion(BStr* pVal) {
  if (!pVal) return E_POINTER;
  if (!asasClient_) return CLASS_E_CLASSNOTAVAILABLE;
  return GuardedCall([&] { return asasClient_->ClientVersion(pVal); });
}

HRESULT CQendix::get_asasLogins(IAsasCollection** pVal) {
  if (!pVal) return E_POINTER;
  *pVal = nullptr;
  if (!asasConf_) return CLASS_E_CLASSNOTAVAILABLE;
  return GuardedCall([&] {
    Variant logins;
    HRESULT hr = asasConf_->ConfLogins(&logins);
    if (Failed(hr)) return hr;
    if (IUnknown* object = logins.TryObject())
      object->QueryInterface(IAsasCollection::kIid, reinterpret_cast<void**>(pVal));
    return S_OK;
  });
}

HRESULT CQendix::get_asasLogin(BStr* pVal) {
  return GetString(asasLogin_, pVal);
}

HRESULT CQendix::put_asasLogin(const BStr& newVal) {
  return PutString(asasLogin_, newVal);
}

HRESULT CQendix::get_activateGUI(VariantBool*) {
  return E_NOTIMPL;
}
HRESULT CQendix::put_activateGUI(VariantBool) {
  return E_NOTIMPL;
}

// --- jobs ----------------------------------------------------------------------------------

HRESULT CQendix::Auto() {
  return GuardedCall([&] { return StartJob(this, JobKind::kAuto); });
}
HRESULT CQendix::Read() {
  return GuardedCall([&] { return StartJob(this, JobKind::kRead); });
}
HRESULT CQendix::Check() {
  return GuardedCall([&] { return StartJob(this, JobKind::kCheck); });
}
HRESULT CQendix::Anonymize() {
  return GuardedCall([&] { return StartJob(this, JobKind::kAnonymize); });
}
HRESULT CQendix::Send() {
  return GuardedCall([&] { return StartJob(this, JobKind::kSend); });
}

HRESULT CQendix::Cancel() {
  CancelRunningJob();
  return S_OK;
}

// --- events --------------------------------------------------------------------------------

HRESULT CQendix::FindConnectionPoint(const Guid& iid, IConnectionPoint** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!(iid == _IQendixEvents::kIid)) return CONNECT_E_NOCONNECTION;
  *out = &eventSource_;
  eventSource_.AddRef();
  return S_OK;
}

void CQendix::RaiseEvent(tagMsgLevel level, tagMsgClass mclass, tagMsgOrigin origin, int32_t code,
                         const BStr& fileName, const BStr& msg) {
  uint32_t options;
  {
    std::lock_guard lock(state_);
    options = options_;
  }
  if (!(options & kOptionDebug) && level <= mlDebug) return;
  std::lock_guard events(events_lock_);
  std::string opened_session;
  int logError = 0;
  std::string logPath;
  // The work directory is looked at only when no log file is open yet.
  if (log_.IsOpen() || log_.EnsureOpen(WorkDirectoryCopy(), &opened_session, &logError, &logPath)) {
    if (!opened_session.empty()) {
      std::lock_guard lock(state_);
      session_ = opened_session;
    }
    log_.WriteLine(level, mclass, origin, code, fileName, msg);
    logFailureTold_ = false;
  }
  auto deliver = [&](tagMsgLevel l, tagMsgClass c, int32_t n, const BStr& f, const BStr& m) {
    for (const auto& sink : eventSource_.Snapshot())
      if (Failed(sink->qendixEvent(l, c, origin, n, f, m))) break;
  };
  deliver(level, mclass, code, fileName, msg);
  // A log that cannot be written is told once, to the host only: the events still reach it. A
  // work directory that is missing is no news here (the steps report it).
  if (logError != 0 && logError != ENOENT && logError != ENOTDIR && !logFailureTold_) {
    logFailureTold_ = true;
    deliver(mlWarning, mcSystem, logError, BaseName(logPath), SystemErrorText(logError));
  }
}

bool CQendix::AskYesNo(const std::string& title, const std::string& text) {
  for (const auto& sink : eventSource_.Snapshot()) {
    RefPtr<IQendixPrompt> prompt;
    if (Failed(sink->QueryInterface(IQendixPrompt::kIid, prompt.PutVoid())) || !prompt) continue;
    VariantBool yes = VARIANT_FALSE;
    if (Succeeded(prompt->Ask(title, text, &yes))) return yes == VARIANT_TRUE;
  }
  return false;
}

void CQendix::CloseLog() {
  std::lock_guard events(events_lock_);
  log_.Close();
}

// --- state for the jobs ---------------------------------------------------------------------

JobSettings CQendix::Settings() const {
  JobSettings settings;
  std::lock_guard lock(state_);
  settings.trustCenter = trustCenter_;
  settings.inputDirectory = inputDirectory_.value_or(std::string());
  settings.workDirectory = workDirectory_.value_or(std::string());
  settings.asasLogin = asasLogin_.value_or(std::string());
  settings.options = options_;
  settings.ean = ean_.value_or(std::string());
  settings.tcTel = tcTel_.value_or(std::string());
  return settings;
}

std::string CQendix::WorkDirectoryCopy() const {
  std::lock_guard lock(state_);
  return workDirectory_.value_or(std::string());
}

std::string CQendix::Session() const {
  std::lock_guard lock(state_);
  return session_;
}

}  // namespace qx
