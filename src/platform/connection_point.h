// A connection point for one event interface: sinks connect with Advise and get a cookie that
// Unadvise takes back. Sinks are held by reference and kept in slots; a freed slot is reused.
//
// The point lives inside its container object and forwards AddRef/Release to it, so a host that
// holds the point keeps the container alive. Thread-safe: Advise and Unadvise may be called
// while events are delivered (also from inside a sink), because delivery works on a snapshot.
#pragma once

#include <mutex>
#include <vector>

#include "qendix/com.h"

namespace qx {

template <typename Sink>
class ConnectionPoint final : public IConnectionPoint {
 public:
  explicit ConnectionPoint(IUnknown* container) : container_(container) {}

  HRESULT QueryInterface(const Guid& iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IUnknown::kIid || iid == IConnectionPoint::kIid) {
      *out = static_cast<IConnectionPoint*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return container_->AddRef(); }
  uint32_t Release() override { return container_->Release(); }

  HRESULT GetConnectionInterface(Guid* iid) override {
    if (!iid) return E_POINTER;
    *iid = Sink::kIid;
    return S_OK;
  }

  HRESULT Advise(IUnknown* sink, uint32_t* cookie) override {
    if (!cookie) return E_POINTER;
    *cookie = 0;
    if (!sink) return E_POINTER;
    RefPtr<Sink> typed;
    if (Failed(sink->QueryInterface(Sink::kIid, typed.PutVoid())) || !typed)
      return CONNECT_E_CANNOTCONNECT;
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < slots_.size(); ++i) {
      if (!slots_[i]) {
        slots_[i] = std::move(typed);
        *cookie = static_cast<uint32_t>(i + 1);
        return S_OK;
      }
    }
    slots_.push_back(std::move(typed));
    *cookie = static_cast<uint32_t>(slots_.size());
    return S_OK;
  }

  HRESULT Unadvise(uint32_t cookie) override {
    RefPtr<Sink> removed;  // released outside the lock
    std::lock_guard lock(mutex_);
    if (cookie == 0 || cookie > slots_.size() || !slots_[cookie - 1]) return CONNECT_E_NOCONNECTION;
    removed = std::move(slots_[cookie - 1]);
    slots_[cookie - 1].Reset();
    return S_OK;
  }

  // The connected sinks in slot order, empty slots skipped.
  std::vector<RefPtr<Sink>> Snapshot() const {
    std::lock_guard lock(mutex_);
    std::vector<RefPtr<Sink>> sinks;
    for (const auto& s : slots_)
      if (s) sinks.push_back(s);
    return sinks;
  }

  // Drops every connection (the container is going away).
  void Clear() {
    std::vector<RefPtr<Sink>> old;
    std::lock_guard lock(mutex_);
    old.swap(slots_);
  }

 private:
  IUnknown* container_;
  mutable std::mutex mutex_;
  std::vector<RefPtr<Sink>> slots_;
};

}  // namespace qx
