// A message queue per thread, in the manner of a desktop thread's message queue: any thread posts
// closures to it, the owning thread runs them in order in its loop until the quit message.
//
// A thread has a queue once it asks for one (ForCurrentThread); the queue ends with its thread:
// then pending messages are dropped and further posts fail. The security client delivers status
// events to a sink through the queue of the thread that connected the sink, when that thread has
// a queue (see status_bus.h).
//
// Thread-safe: Post and PostQuit from any thread; Run and RunPending only on the owning thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace asas {

class MessageQueue {
 public:
  using Message = std::function<void()>;

  // The calling thread's queue, made on first use.
  static std::shared_ptr<MessageQueue> ForCurrentThread();
  // The calling thread's queue, or empty when it has none.
  static std::shared_ptr<MessageQueue> OfCurrentThread();

  // Appends a message; false (the message is dropped) when the owning thread has ended.
  bool Post(Message message);
  // Appends the quit message: the loop returns when it reaches it; messages behind it wait for
  // the next loop.
  bool PostQuit();

  // Runs messages until the quit message. False at once when called by another thread.
  bool Run();
  // Runs the messages queued now without waiting, stopping at a quit message (which it consumes).
  // Returns the number run; 0 when called by another thread.
  size_t RunPending();

  std::thread::id owner() const { return owner_; }

  explicit MessageQueue(std::thread::id owner) : owner_(owner) {}
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

 private:
  friend class QueueHolder;
  // Called when the owning thread ends.
  void Close();
  // Takes the next message; quit is set for the quit message. Waits when `wait`.
  bool Take(bool wait, Message* message, bool* quit);

  const std::thread::id owner_;
  std::mutex mutex_;
  std::condition_variable ready_;
  // An empty function stands for the quit message.
  std::deque<Message> messages_;
  bool closed_ = false;
};

}  // namespace asas
