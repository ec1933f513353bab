#include "common/event_recorder.h"

#include <chrono>

namespace qx::testing {

std::string RecordedEvent::ToString() const {
  return std::to_string(level) + "|" + std::to_string(mclass) + "|" + std::to_string(origin) + "|" +
         std::to_string(code) + "|" + file.value_or("(null)") + "|" + msg.value_or("(null)");
}

HRESULT EventRecorder::qendixEvent(tagMsgLevel level, tagMsgClass mclass, tagMsgOrigin origin,
                                   int32_t code, const BStr& fileName, const BStr& msg) {
  RecordedEvent e{level, mclass, origin, code, fileName, msg};
  std::function<void(const RecordedEvent&)> hook;
  {
    std::lock_guard lock(mutex_);
    hook = hook_;
  }
  // The hook runs before the event counts as arrived, so a test that waits for an event also
  // waits for its hook (whose captured locals must outlive it).
  if (hook) hook(e);
  {
    std::lock_guard lock(mutex_);
    events_.push_back(e);
  }
  changed_.notify_all();
  return result_;
}

void EventRecorder::SetHook(std::function<void(const RecordedEvent&)> hook) {
  std::lock_guard lock(mutex_);
  hook_ = std::move(hook);
}

std::vector<RecordedEvent> EventRecorder::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<std::string> EventRecorder::Lines() const {
  std::vector<std::string> lines;
  for (const auto& e : Events()) lines.push_back(e.ToString());
  return lines;
}

bool EventRecorder::WaitForEnd(int origin, int count, int timeout_ms) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    int seen = 0;
    for (const auto& e : events_)
      if (e.mclass == mcModule && e.code == 1 && e.origin == origin && !e.file) ++seen;
    return seen >= count;
  });
}

void EventRecorder::Clear() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

uint32_t Connect(IUnknown* component, IUnknown* sink) {
  RefPtr<IConnectionPointContainer> container;
  if (Failed(component->QueryInterface(IConnectionPointContainer::kIid, container.PutVoid())))
    return 0;
  RefPtr<IConnectionPoint> point;
  if (Failed(container->FindConnectionPoint(_IQendixEvents::kIid, point.Put()))) return 0;
  uint32_t cookie = 0;
  point->Advise(sink, &cookie);
  return cookie;
}

void Disconnect(IUnknown* component, uint32_t cookie) {
  RefPtr<IConnectionPointContainer> container;
  if (Failed(component->QueryInterface(IConnectionPointContainer::kIid, container.PutVoid())))
    return;
  RefPtr<IConnectionPoint> point;
  if (Failed(container->FindConnectionPoint(_IQendixEvents::kIid, point.Put()))) return;
  point->Unadvise(cookie);
}

}  // namespace qx::testing
