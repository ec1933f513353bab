#include "crypto/asas_session.h"

#include <new>
#include <utility>

#include "crypto/asas_objects.h"
#include "platform/call_guard.h"

namespace qx {
namespace {

// The event sink connected to the client. The client may call it from any thread and may keep
// it after the session ended; it only posts to the session's queue, which refuses everything
// once the quit message was posted.
class StatusSink final : public ComObject<IAsasEvents> {
 public:
  StatusSink(std::shared_ptr<MessageQueue> queue, EventTarget& events, tagMsgOrigin origin)
      : queue_(std::move(queue)), events_(events), origin_(origin) {}

  HRESULT AsasStatus(int16_t level, const BStr& text) override {
    return GuardedCall([&] {
      EventTarget* events = &events_;
      tagMsgOrigin origin = origin_;
      queue_->Post(
          [events, origin, level, text] { RaiseAsasStatus(*events, origin, level, text); });
      return S_OK;
    });
  }

 private:
  ~StatusSink() = default;
  std::shared_ptr<MessageQueue> queue_;
  EventTarget& events_;
  const tagMsgOrigin origin_;
};

}  // namespace

bool IsAsasStatusForwarded(std::string_view text) {
  return !(text.find("failed") != text.npos &&
           (text.find("send") != text.npos || text.find("recv") != text.npos));
}

void RaiseAsasStatus(EventTarget& events, tagMsgOrigin origin, int16_t level, const BStr& text) {
  if (text && !IsAsasStatusForwarded(*text)) return;
  // Levels 3 and up arrive as warnings; a negative level (not a level at all) as debug.
  tagMsgLevel eventLevel = level >= 3  ? mlWarning
                           : level < 0 ? mlDebug
                                       : static_cast<tagMsgLevel>(level);
  events.RaiseEvent(eventLevel, mcAsas, origin, -1, std::nullopt, text);
}

AsasSession::AsasSession(EventTarget& events, tagMsgOrigin origin)
    : events_(events), origin_(origin), queue_(std::make_shared<MessageQueue>()) {}

AsasSession::~AsasSession() {
  Stop();
}

void AsasSession::Start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] { ThreadMain(); });
  ready_.Wait();
}

void AsasSession::Stop() {
  if (!thread_.joinable()) return;
  queue_->PostQuit();
  thread_.join();
}

void AsasSession::ThreadMain() {
  threadId_ = std::this_thread::get_id();
  RefPtr<IAsasClient> client;
  RefPtr<IConnectionPoint> point;
  uint32_t cookie = 0;
  if (Succeeded(CreateAsasObject("Asas.Client", &client))) {
    auto container = client.As<IConnectionPointContainer>();
    if (container && Succeeded(container->FindConnectionPoint(IAsasEvents::kIid, point.Put())) &&
        point) {
      auto* sink = new (std::nothrow) StatusSink(queue_, events_, origin_);
      if (sink) {
        if (Succeeded(point->Advise(sink, &cookie))) connected_ = true;
        sink->Release();  // the connection point holds its own reference
      }
    }
  }
  ready_.Set();

  queue_->Run();

  if (connected_) point->Unadvise(cookie);
  cookie = 0;
  point.Reset();
  client.Reset();
}

}  // namespace qx
