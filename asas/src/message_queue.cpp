#include "message_queue.h"

#include <utility>

namespace asas {

// Owns a thread's queue for the thread's lifetime and closes it when the thread ends.
class QueueHolder {
 public:
  ~QueueHolder() {
    if (queue) queue->Close();
  }
  std::shared_ptr<MessageQueue> queue;
};

namespace {
thread_local QueueHolder t_holder;
}

std::shared_ptr<MessageQueue> MessageQueue::ForCurrentThread() {
  if (!t_holder.queue) t_holder.queue = std::make_shared<MessageQueue>(std::this_thread::get_id());
  return t_holder.queue;
}

std::shared_ptr<MessageQueue> MessageQueue::OfCurrentThread() {
  return t_holder.queue;
}

bool MessageQueue::Post(Message message) {
  if (!message) return false;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    messages_.push_back(std::move(message));
  }
  ready_.notify_one();
  return true;
}

bool MessageQueue::PostQuit() {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    messages_.push_back(Message());
  }
  ready_.notify_one();
  return true;
}

bool MessageQueue::Take(bool wait, Message* message, bool* quit) {
  std::unique_lock lock(mutex_);
  if (wait) ready_.wait(lock, [&] { return !messages_.empty(); });
  if (messages_.empty()) return false;
  *message = std::move(messages_.front());
  messages_.pop_front();
  *quit = !*message;
  return true;
}

bool MessageQueue::Run() {
  if (std::this_thread::get_id() != owner_) return false;
  for (;;) {
    Message message;
    bool quit = false;
    Take(true, &message, &quit);
    if (quit) return true;
    message();
  }
}

size_t MessageQueue::RunPending() {
  if (std::this_thread::get_id() != owner_) return 0;
  size_t count = 0;
  // Only what is queued now: messages posted while these run wait for the next call.
  size_t budget;
  {
    std::lock_guard lock(mutex_);
    budget = messages_.size();
  }
  for (; budget > 0; --budget) {
    Message message;
    bool quit = false;
    if (!Take(false, &message, &quit) || quit) break;
    message();
    ++count;
  }
  return count;
}

void MessageQueue::Close() {
  std::deque<Message> dropped;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    dropped.swap(messages_);
  }
  // The dropped closures are destroyed here, outside the lock: they may release objects whose
  // destruction posts again (which then fails cleanly).
}

}  // namespace asas
