// The event sink behind a callback of the C interface: forwards each event to the C function
// with its payload until it is closed. Close() is what makes "no callback after unadvise"
// hold: the connection point delivers to a snapshot of its sinks, so a sink removed from it may
// still be called with an event in flight; a closed sink drops such calls, and Close() waits
// for calls already inside the callback on other threads.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "qendix/qendix.h"
#include "qendix/qendix_c.h"

namespace qx {

// With a prompt callback instead of an event callback it answers the component's questions
// (IQendixPrompt) and ignores events.
class CEventSink final : public ComObject<_IQendixEvents, IQendixPrompt> {
 public:
  // Starts open, with one reference owned by the caller.
  CEventSink(qendix_event_cb callback, void* payload);
  CEventSink(qendix_prompt_cb prompt, void* payload);

  // Calls the callback unless closed. Never throws; always S_OK, so that the other sinks still
  // get the event.
  HRESULT qendixEvent(tagMsgLevel level, tagMsgClass mclass, tagMsgOrigin origin, int32_t code,
                      const BStr& fileName, const BStr& msg) override;

  // Asks the prompt callback: S_OK with its answer, E_NOTIMPL when this sink has none or is
  // closed (the question goes on to the next sink).
  HRESULT Ask(const BStr& title, const BStr& text, VariantBool* yes) override;

  // Stops every later call and waits until the calls running on other threads have returned.
  // A call running on the calling thread (Close from inside the callback) is not waited for.
  // Thread-safe; idempotent.
  void Close();

 private:
  ~CEventSink() override = default;
  // Notes the calling thread as delivering; false when closed (or out of memory).
  bool Enter();
  void Leave();

  qendix_event_cb callback_ = nullptr;
  qendix_prompt_cb prompt_ = nullptr;
  void* payload_;
  std::mutex mutex_;
  std::condition_variable idle_;
  bool closed_ = false;
  std::vector<std::thread::id> delivering_;  // threads inside the callback, nested calls repeated
};

}  // namespace qx
