// CQendix: the component object. Implements IQendix (properties and job methods), the
// connection point container for _IQendixEvents, IQendixInspect (status and preview), and
// JobHost (settings, events, day log) for the jobs it starts. No exception leaves a method of its
// interfaces (GuardedCall).
//
// Reference counted; the host owns the reference it created, and each running job holds one
// more until its worker thread ends. Properties are set on the host's thread; the steps on worker
// threads read consistent copies through Settings() (guarded by a lock). RaiseEvent may
// be called from any thread: events are serialised, so log lines and sink calls never interleave,
// and sinks may Advise, Unadvise or start the next job from inside their handler.
#pragma once

#include <mutex>
#include <string>

#include "platform/connection_point.h"
#include "qendix/qendix.h"
#include "steps/job_context.h"
#include "support/daily_log.h"

namespace qx {

class CQendix final : public ComObject<IQendix, IConnectionPointContainer, IQendixInspect>,
                      public JobHost {
 public:
  // Class factory of "qendix.1" and "qendix".
  static HRESULT CreateInstance(const Guid& iid, void** out);

  // IQendix
  HRESULT get_qendixVersion(BStr* pVal) override;
  HRESULT get_trustCenters(IQendixCollection** pVal) override;
  HRESULT get_trustCenter(BStr* pVal) override;
  HRESULT put_trustCenter(const BStr& newVal) override;
  HRESULT get_inputDirectory(BStr* pVal) override;
  HRESULT put_inputDirectory(const BStr& newVal) override;
  HRESULT get_workDirectory(BStr* pVal) override;
  HRESULT put_workDirectory(const BStr& newVal) override;
  HRESULT get_withPDF(VariantBool* pVal) override;
  HRESULT put_withPDF(VariantBool newVal) override;
  HRESULT get_withArchive(VariantBool* pVal) override;
  HRESULT put_withArchive(VariantBool newVal) override;
  HRESULT get_ean(BStr* pVal) override;
  HRESULT get_esr(BStr* pVal) override;
  HRESULT get_esrPDF(BStr* pVal) override;
  HRESULT get_tcTel(BStr* pVal) override;
  HRESULT get_session(BStr* pVal) override;
  HRESULT get_asasVersion(BStr* pVal) override;
  HRESULT get_asasLogins(IAsasCollection** pVal) override;
  HRESULT get_asasLogin(BStr* pVal) override;
  HRESULT put_asasLogin(const BStr& newVal) override;
  HRESULT get_activateGUI(VariantBool* pVal) override;
  HRESULT put_activateGUI(VariantBool newVal) override;
  HRESULT get_debug(VariantBool* pVal) override;
  HRESULT put_debug(VariantBool newVal) override;
  HRESULT Auto() override;
  HRESULT Read() override;
  HRESULT Check() override;
  HRESULT Anonymize() override;
  HRESULT Send() override;
  HRESULT Cancel() override;

  // IConnectionPointContainer
  HRESULT FindConnectionPoint(const Guid& iid, IConnectionPoint** out) override;

  // IQendixInspect (status_report.h, preview.h)
  HRESULT Status(VariantBool json, BStr* report) override;
  HRESULT Preview(const BStr& path, VariantBool json, BStr* report) override;

  // JobHost
  // Drops debug events unless the debug option is set, writes the day's log line,
  // then calls the sinks in connection order until one fails.
  void RaiseEvent(tagMsgLevel level, tagMsgClass mclass, tagMsgOrigin origin, int32_t code,
                  const BStr& fileName, const BStr& msg) override;

  JobSettings Settings() const override;
  std::string Session() const override;
  void CloseLog() override;
  // Asks the connected sinks that offer IQendixPrompt, in connection order; the first whose
  // Ask succeeds answers. Not under the event lock: a sink may raise events while it asks.
  bool AskYesNo(const std::string& title, const std::string& text) override;

 private:
  CQendix();
  ~CQendix();
  CQendix(const CQendix&) = delete;
  CQendix& operator=(const CQendix&) = delete;

  void LoadSettings();
  void StoreSettings();
  std::string WorkDirectoryCopy() const;  // empty when null
  HRESULT GetString(const BStr& field, BStr* pVal) const;
  // Stores an unchanged copy of `value` (E_OUTOFMEMORY when the copy fails).
  HRESULT PutString(BStr& field, const BStr& value);
  HRESULT GetOption(uint32_t bit, VariantBool* pVal) const;
  // An ESR number as decimal text; S_FALSE when it is 0 or 100 and more.
  HRESULT GetEsrNumber(const uint8_t& field, BStr* pVal) const;
  HRESULT PutOption(uint32_t bit, VariantBool value);

  RefPtr<IAsasClient> asasClient_;
  RefPtr<IAsasClientConf> asasConf_;

  mutable std::mutex state_;  // guards the fields below
  BStr trustCenter_;
  BStr inputDirectory_ = std::string();
  BStr workDirectory_ = std::string();
  BStr asasLogin_ = std::string();
  uint32_t options_ = 0;
  // The settings file could not be read at creation: the release writes nothing back.
  bool settingsUnreadable_ = false;
  BStr ean_ = std::string();
  uint8_t esr_ = 0;
  uint8_t esrPDF_ = 0;
  BStr tcTel_ = std::string();
  std::string session_;

  std::recursive_mutex events_lock_;  // serialises RaiseEvent and the log file
  DailyLog log_;
  bool logFailureTold_ = false;  // a failure to open the log was told; under events_lock_
  ConnectionPoint<_IQendixEvents> eventSource_;
};

}  // namespace qx
