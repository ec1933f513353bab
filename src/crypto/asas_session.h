// AsasSession: while an Anonymizer or Sender step runs, a thread of its own holds a client
// object of the security client, receives the client's status messages and raises them as
// events of class mcAsas with the step's origin.
//
// The client may report from any thread; the session hands each status to its own thread
// through a message queue, so the events are raised there, one after the other, in order.
// Start and Stop are called by the step's thread (not thread-safe against each other); the
// EventTarget must outlive the session.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <thread>

#include "platform/manual_reset_event.h"
#include "platform/message_queue.h"
#include "support/event_target.h"

namespace qx {

// The status handler's rule: a text holding "failed" together with "send" or "recv" is dropped;
// every other status is raised with its level (levels 3 and up as mlWarning, negative ones as
// mlDebug), class mcAsas, the
// origin, code -1, no file name and the text as received.
bool IsAsasStatusForwarded(std::string_view text);
void RaiseAsasStatus(EventTarget& events, tagMsgOrigin origin, int16_t level, const BStr& text);

class AsasSession {
 public:
  AsasSession(EventTarget& events, tagMsgOrigin origin);
  // Stops the thread if it still runs.
  ~AsasSession();
  AsasSession(const AsasSession&) = delete;
  AsasSession& operator=(const AsasSession&) = delete;

  // Starts the thread and waits until it has connected to the client (or failed to: that is not
  // reported, the step then simply receives no status events). Only the first call does anything.
  void Start();
  // Posts the quit message and waits, without time-out, until the thread has disconnected from
  // the client and ended. Does nothing when the thread does not run.
  void Stop();

  // True when the thread made a client object and connected to its status events.
  bool Connected() const { return connected_; }
  // The session thread's identifier (set by the thread itself once it runs).
  std::thread::id ThreadId() const { return threadId_; }

 private:
  void ThreadMain();

  EventTarget& events_;
  const tagMsgOrigin origin_;
  std::thread thread_;
  std::thread::id threadId_;
  ManualResetEvent ready_;
  std::shared_ptr<MessageQueue> queue_;
  bool connected_ = false;
};

}  // namespace qx
