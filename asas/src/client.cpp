// "Asas.Client": the client's running state, its version, start and stop, and the connection
// point for its status events.
#include "client_ops.h"
#include "com_object.h"
#include "objects.h"
#include "status_bus.h"

namespace asas {
namespace {

class Client;

// The connection point for IAsasEvents of one client object; holds the client alive.
class EventPoint final : public ComObject<qx::IConnectionPoint> {
 public:
  EventPoint(qx::RefPtr<qx::IUnknown> owner, const void* source)
      : owner_(std::move(owner)), source_(source) {}

  qx::HRESULT GetConnectionInterface(qx::Guid* iid) override {
    if (!iid) return qx::E_POINTER;
    *iid = qx::IAsasEvents::kIid;
    return qx::S_OK;
  }
  qx::HRESULT Advise(qx::IUnknown* sink, uint32_t* cookie) override {
    if (!cookie) return qx::E_POINTER;
    *cookie = 0;
    if (!sink) return qx::E_POINTER;
    return Guarded([&] {
      qx::RefPtr<qx::IAsasEvents> events;
      if (qx::Failed(sink->QueryInterface(qx::IAsasEvents::kIid, events.PutVoid())) || !events)
        return qx::CONNECT_E_CANNOTCONNECT;
      *cookie = StatusBus::Instance().Connect(source_, std::move(events));
      return qx::S_OK;
    });
  }
  qx::HRESULT Unadvise(uint32_t cookie) override {
    return StatusBus::Instance().Disconnect(source_, cookie) ? qx::S_OK
                                                             : qx::CONNECT_E_NOCONNECTION;
  }

 private:
  const qx::RefPtr<qx::IUnknown> owner_;
  const void* const source_;
};

class Client final : public ComObject<qx::IAsasClient, qx::IConnectionPointContainer> {
 public:
  explicit Client(Home home) : home_(std::move(home)) {}
  ~Client() override { StatusBus::Instance().DisconnectAll(this); }

  qx::HRESULT ClientIsRunning(qx::VariantBool* running) override {
    if (!running) return qx::E_POINTER;
    *running = qx::VARIANT_FALSE;
    return Guarded([&] {
      RunState state;
      qx::HRESULT hr = LoadRunState(home_, &state);
      if (qx::Succeeded(hr)) *running = state.is_running() ? qx::VARIANT_TRUE : qx::VARIANT_FALSE;
      return hr;
    });
  }
  qx::HRESULT ClientVersion(qx::BStr* version) override {
    if (!version) return qx::E_POINTER;
    return Guarded([&] {
      *version = ClientVersionText();
      return qx::S_OK;
    });
  }
  qx::HRESULT ClientStart() override {
    return Guarded([&] { return StartClient(home_); });
  }
  qx::HRESULT ClientStop() override {
    return Guarded([&] { return StopClient(home_); });
  }

  qx::HRESULT FindConnectionPoint(const qx::Guid& iid, qx::IConnectionPoint** out) override {
    if (!out) return qx::E_POINTER;
    *out = nullptr;
    if (!(iid == qx::IAsasEvents::kIid)) return qx::CONNECT_E_NOCONNECTION;
    return Guarded([&] {
      qx::RefPtr<qx::IUnknown> self =
          qx::RefPtr<qx::IUnknown>::Share(static_cast<qx::IAsasClient*>(this));
      return HandOver(new EventPoint(std::move(self), this), qx::IConnectionPoint::kIid,
                      reinterpret_cast<void**>(out));
    });
  }

 private:
  const Home home_;
};

}  // namespace

qx::RefPtr<qx::IAsasClient> MakeClient(const Home& home) {
  return qx::RefPtr<qx::IAsasClient>::Adopt(new Client(home));
}

}  // namespace asas
