#include "component/c_event_sink.h"

#include <algorithm>

namespace qx {

CEventSink::CEventSink(qendix_event_cb callback, void* payload)
    : callback_(callback), payload_(payload) {
  delivering_.reserve(4);
}

HRESULT CEventSink::qendixEvent(tagMsgLevel level, tagMsgClass mclass, tagMsgOrigin origin,
                                int32_t code, const BStr& fileName, const BStr& msg) {
  const std::thread::id self = std::this_thread::get_id();
  try {
    std::lock_guard lock(mutex_);
    if (closed_) return S_OK;
    delivering_.push_back(self);
  } catch (...) {  // no memory to note the call: drop the event rather than risk a late call
    return S_OK;
  }
  // Removes this call's entry however the callback leaves (a C++ host's callback may throw).
  struct Leave {
    CEventSink* sink;
    std::thread::id self;
    ~Leave() {
      {
        std::lock_guard lock(sink->mutex_);
        auto& d = sink->delivering_;
        d.erase(std::find(d.begin(), d.end(), self));
      }
      sink->idle_.notify_all();
    }
  } leave{this, self};
  try {
    callback_(level, mclass, origin, code, fileName ? fileName->c_str() : nullptr,
              msg ? msg->c_str() : nullptr, payload_);
  } catch (...) {
  }
  return S_OK;
}

void CEventSink::Close() {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock lock(mutex_);
  closed_ = true;
  idle_.wait(lock, [&] {
    return std::all_of(delivering_.begin(), delivering_.end(),
                       [&](std::thread::id id) { return id == self; });
  });
}

}  // namespace qx
