// The command's event sink: prints every event (a readable line, or one JSON object per line
// with --json), remembers whether an error was raised, and lets the main thread wait for a
// job's last end event. It also answers the component's yes-or-no questions: on the terminal when
// standard input and output are terminals, otherwise always No.
#pragma once

#include <condition_variable>
#include <mutex>

#include "qendix/qendix.h"

namespace qendix_cli {

class EventPrinter final : public qx::ComObject<qx::_IQendixEvents, qx::IQendixPrompt> {
 public:
  explicit EventPrinter(bool json);

  qx::HRESULT qendixEvent(qx::tagMsgLevel level, qx::tagMsgClass mclass, qx::tagMsgOrigin origin,
                          int32_t code, const qx::BStr& fileName, const qx::BStr& msg) override;

  qx::HRESULT Ask(const qx::BStr& title, const qx::BStr& text, qx::VariantBool* yes) override;

  // Forgets end events seen so far; call before starting a job.
  void ExpectEnd(qx::tagMsgOrigin last_origin);
  // Waits up to `ms` for the expected end event; true when it arrived.
  bool WaitForEnd(int ms);
  bool SawError() const;

 private:
  ~EventPrinter() = default;
  void PrintReadable(qx::tagMsgLevel level, qx::tagMsgOrigin origin, const qx::BStr& file,
                     const qx::BStr& msg);
  void DrawProgress();

  const bool json_;
  const bool progress_;
  mutable std::mutex mutex_;
  std::condition_variable ended_;
  qx::tagMsgOrigin expected_ = qx::moPReader;
  bool endSeen_ = false;
  bool sawError_ = false;
  int total_ = 0;
  int handled_ = 0;
};

}  // namespace qendix_cli
