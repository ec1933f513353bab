// A manual-reset event: once set it stays signalled, and every waiter (present and future)
// passes, until Reset. Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace qx {

class ManualResetEvent {
 public:
  void Set() {
    {
      std::lock_guard lock(mutex_);
      signalled_ = true;
    }
    changed_.notify_all();
  }
  void Reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
  }
  bool IsSet() const {
    std::lock_guard lock(mutex_);
    return signalled_;
  }
  // Waits without time-out until the event is set.
  void Wait() const {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return signalled_; });
  }
  // Waits at most `timeout`; true when the event is set.
  bool WaitFor(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return signalled_; });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool signalled_ = false;
};

}  // namespace qx
