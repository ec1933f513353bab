// A message queue for one thread: any thread posts closures or the quit message; the thread that
// owns the queue runs the closures in the order they were posted until it takes the quit message.
// This is what a thread with a message loop needs (the security-client session thread, the
// download window thread).
//
// Thread-safe: Post and PostQuit may be called from any thread; Run is called by the owning
// thread only, once.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace qx {

class MessageQueue {
 public:
  using Task = std::function<void()>;

  MessageQueue() = default;
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  // Queues `task` behind everything posted before. False (and the task is dropped) once the quit
  // message has been posted: nothing after the quit message is ever run.
  bool Post(Task task);

  // Queues the quit message. Closures posted before it still run. Further calls do nothing.
  void PostQuit();

  // Runs posted closures in order, waiting for new ones, until the quit message is taken.
  // Returns the number of closures run.
  size_t Run();

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  bool quit_posted_ = false;
};

}  // namespace qx
