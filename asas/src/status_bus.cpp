#include "status_bus.h"

#include <algorithm>

namespace asas {

StatusBus& StatusBus::Instance() {
  static StatusBus* bus = new StatusBus;  // lives for the process; events may come at exit
  return *bus;
}

uint32_t StatusBus::Connect(const void* source, qx::RefPtr<qx::IAsasEvents> sink) {
  std::shared_ptr<MessageQueue> queue = MessageQueue::OfCurrentThread();
  std::lock_guard lock(mutex_);
  uint32_t cookie = next_cookie_++;
  if (next_cookie_ == 0) next_cookie_ = 1;
  connections_.push_back({source, cookie, std::move(sink), queue != nullptr, queue});
  return cookie;
}

bool StatusBus::Disconnect(const void* source, uint32_t cookie) {
  qx::RefPtr<qx::IAsasEvents> released;  // released after the lock is given up
  std::lock_guard lock(mutex_);
  auto it = std::find_if(connections_.begin(), connections_.end(), [&](const Connection& c) {
    return c.source == source && c.cookie == cookie;
  });
  if (it == connections_.end()) return false;
  released = std::move(it->sink);
  connections_.erase(it);
  return true;
}

void StatusBus::DisconnectAll(const void* source) {
  std::vector<Connection> removed;
  std::lock_guard lock(mutex_);
  auto keep = std::stable_partition(connections_.begin(), connections_.end(),
                                    [&](const Connection& c) { return c.source != source; });
  std::move(keep, connections_.end(), std::back_inserter(removed));
  connections_.erase(keep, connections_.end());
}

bool StatusBus::IsConnected(uint32_t cookie) const {
  std::lock_guard lock(mutex_);
  return std::any_of(connections_.begin(), connections_.end(),
                     [&](const Connection& c) { return c.cookie == cookie; });
}

void StatusBus::Raise(int16_t level, const std::string& text) {
  std::vector<Connection> targets;
  {
    std::lock_guard lock(mutex_);
    targets = connections_;
  }
  for (auto& target : targets) {
    if (!target.via_queue) {
      target.sink->AsasStatus(level, qx::BStr(text));
      continue;
    }
    std::shared_ptr<MessageQueue> queue = target.queue.lock();
    if (!queue) continue;  // the sink's thread has ended
    uint32_t cookie = target.cookie;
    queue->Post([this, cookie, sink = target.sink, level, text] {
      if (IsConnected(cookie)) sink->AsasStatus(level, qx::BStr(text));
    });
  }
}

}  // namespace asas
