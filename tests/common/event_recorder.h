// A reference-counted event sink for tests: records every event and lets a test wait for an
// end event (class mcModule, code 1) of a given origin.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "qendix/qendix.h"

namespace qx::testing {

struct RecordedEvent {
  int level;
  int mclass;
  int origin;
  int code;
  BStr file;
  BStr msg;
  // Compact form for assertions: "level|class|origin|code|file|msg" with (null) for null texts.
  std::string ToString() const;
};

class EventRecorder final : public ComObject<_IQendixEvents> {
 public:
  static RefPtr<EventRecorder> Create() { return RefPtr<EventRecorder>::Adopt(new EventRecorder); }

  HRESULT qendixEvent(tagMsgLevel level, tagMsgClass mclass, tagMsgOrigin origin, int32_t code,
                      const BStr& fileName, const BStr& msg) override;

  // Called for every event, inside the sink call, before recording (may block or call back).
  void SetHook(std::function<void(const RecordedEvent&)> hook);
  // The result the sink answers with.
  void SetResult(HRESULT hr) { result_ = hr; }

  std::vector<RecordedEvent> Events() const;
  std::vector<std::string> Lines() const;
  // Waits until `count` end events of `origin` arrived; false after the timeout.
  bool WaitForEnd(int origin, int count = 1, int timeout_ms = 20000);
  void Clear();

 private:
  EventRecorder() = default;
  HRESULT result_ = S_OK;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<RecordedEvent> events_;
  std::function<void(const RecordedEvent&)> hook_;
};

// Connects `sink` to the component's event point; returns the cookie (0 on failure).
uint32_t Connect(IUnknown* component, IUnknown* sink);
void Disconnect(IUnknown* component, uint32_t cookie);

}  // namespace qx::testing
