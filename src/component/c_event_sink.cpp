#include "component/c_event_sink.h"

#include <algorithm>

namespace qx {

CEventSink::CEventSink(qendix_event_cb callback, void* payload)
    : callback_(callback), payload_(payload) {
  delivering_.reserve(4);
}

CEventSink::CEventSink(qendix_prompt_cb prompt, void* payload)
    : prompt_(prompt), payload_(payload) {
  delivering_.reserve(4);
}

bool CEventSink::Enter() {
  try {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    delivering_.push_back(std::this_thread::get_id());
    return true;
  } catch (...) {  // no memory to note the call: drop it rather than risk a late call
    return false;
  }
}

void CEventSink::Leave() {
  {
    std::lock_guard lock(mutex_);
    delivering_.erase(
        std::find(delivering_.begin(), delivering_.end(), std::this_thread::get_id()));
  }
  idle_.notify_all();
}

HRESULT CEventSink::qendixEvent(tagMsgLevel level, tagMsgClass mclass, tagMsgOrigin origin,
                                int32_t code, const BStr& fileName, const BStr& msg) {
  if (!callback_ || !Enter()) return S_OK;
  // Removes this call's entry however the callback leaves (a C++ host's callback may throw).
  struct Leaving {
    CEventSink* sink;
    ~Leaving() { sink->Leave(); }
  } leaving{this};
  try {
    callback_(level, mclass, origin, code, fileName ? fileName->c_str() : nullptr,
              msg ? msg->c_str() : nullptr, payload_);
  } catch (...) {
  }
  return S_OK;
}

HRESULT CEventSink::Ask(const BStr& title, const BStr& text, VariantBool* yes) {
  if (!yes) return E_POINTER;
  *yes = VARIANT_FALSE;
  if (!prompt_ || !Enter()) return E_NOTIMPL;
  struct Leaving {
    CEventSink* sink;
    ~Leaving() { sink->Leave(); }
  } leaving{this};
  try {
    if (prompt_(title ? title->c_str() : "", text ? text->c_str() : "", payload_) == 1)
      *yes = VARIANT_TRUE;
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
