#include "platform/message_queue.h"

#include <utility>

namespace qx {

bool MessageQueue::Post(Task task) {
  if (!task) return false;
  {
    std::lock_guard lock(mutex_);
    if (quit_posted_) return false;
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
  return true;
}

void MessageQueue::PostQuit() {
  {
    std::lock_guard lock(mutex_);
    quit_posted_ = true;
  }
  wake_.notify_one();
}

size_t MessageQueue::Run() {
  size_t ran = 0;
  for (;;) {
    Task task;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return !tasks_.empty() || quit_posted_; });
      if (tasks_.empty()) return ran;  // only the quit message is left
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    // Run outside the lock so that the closure may post further messages.
    task();
    ++ran;
  }
}

}  // namespace qx
