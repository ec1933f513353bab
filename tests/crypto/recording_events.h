// An EventTarget for tests: records every event with the thread that raised it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/event_target.h"

namespace qx::testing {

// Named apart from RecordedEvent (common/event_recorder.h): both live in the same test programs.
struct TargetEvent {
  tagMsgLevel level;
  tagMsgClass mclass;
  tagMsgOrigin origin;
  int32_t code;
  BStr fileName;
  BStr msg;
  std::thread::id thread;
};

class RecordingEvents final : public EventTarget {
 public:
  void RaiseEvent(tagMsgLevel level, tagMsgClass mclass, tagMsgOrigin origin, int32_t code,
                  const BStr& fileName, const BStr& msg) override {
    {
      std::lock_guard lock(mutex_);
      events_.push_back({level, mclass, origin, code, fileName, msg, std::this_thread::get_id()});
    }
    changed_.notify_all();
  }

  std::vector<TargetEvent> Events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<std::string> Texts() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    for (const auto& e : events_) texts.push_back(e.msg.value_or("<null>"));
    return texts;
  }
  // Waits until at least `count` events arrived (a guard against hanging, not a timing test).
  bool WaitForCount(size_t count) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20),
                             [&] { return events_.size() >= count; });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<TargetEvent> events_;
};

}  // namespace qx::testing
