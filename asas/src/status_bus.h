// The security client's status events inside one process. Client objects connect event sinks
// here (through their connection point); any object of the library raises a status (level,
// text) for what it does, and every connected sink receives it.
//
// Delivery follows the thread that connected the sink: when that thread has a message queue
// (message_queue.h), the event is posted to it and the sink is called there, the way an
// apartment delivers calls; a sink disconnected before the posted event runs does not receive
// it, and events for a thread that has ended are dropped. A sink connected from a thread without
// a queue is called directly on the raising thread.
//
// Levels: 0 debug, 1 information, 2 warning, 3 error.
//
// Thread-safe. Sinks are called without any lock held, so they may connect, disconnect or raise.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "message_queue.h"
#include "qendix/asas.h"

namespace asas {

enum StatusLevel : int16_t {
  kStatusDebug = 0,
  kStatusInfo = 1,
  kStatusWarning = 2,
  kStatusError = 3
};

class StatusBus {
 public:
  // The process-wide bus.
  static StatusBus& Instance();

  // Connects `sink` for the client object `source`; returns the cookie (never 0).
  uint32_t Connect(const void* source, qx::RefPtr<qx::IAsasEvents> sink);
  // False when `cookie` is not a connection of `source`.
  bool Disconnect(const void* source, uint32_t cookie);
  // Drops every connection of `source` (its client object goes away).
  void DisconnectAll(const void* source);
  bool IsConnected(uint32_t cookie) const;

  void Raise(int16_t level, const std::string& text);

 private:
  struct Connection {
    const void* source;
    uint32_t cookie;
    qx::RefPtr<qx::IAsasEvents> sink;
    bool via_queue;
    std::weak_ptr<MessageQueue> queue;
  };

  mutable std::mutex mutex_;
  std::vector<Connection> connections_;
  uint32_t next_cookie_ = 1;
};

// Shorthand for StatusBus::Instance().Raise.
inline void RaiseStatus(int16_t level, const std::string& text) {
  StatusBus::Instance().Raise(level, text);
}

}  // namespace asas
