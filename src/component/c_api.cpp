// The C interface (include/qendix/qendix_c.h) over the component's C++ interfaces. Every
// function runs its body through GuardedCall, so no exception reaches the C caller.
#include "qendix/qendix_c.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "component/c_event_sink.h"
#include "component/job_control.h"
#include "component/module_state.h"
#include "platform/call_guard.h"
#include "platform/class_registry.h"
#include "qendix/properties.h"
#include "qendix/qendix.h"

struct qendix {
  qx::RefPtr<qx::IQendix> component;
  qx::RefPtr<qx::IConnectionPoint> point;
  // The callbacks advised through this handle. Guarded because qendix_unadvise may come from a
  // callback on a job's worker thread.
  std::mutex sinks_lock;
  std::vector<std::pair<unsigned, qx::RefPtr<qx::CEventSink>>> sinks;
  unsigned promptCookie = 0;  // the sink of qendix_set_prompt among `sinks` (0: none)
  // Number of the job last started through this handle (0: none); qendix_wait may read it
  // from any thread.
  std::atomic<uint64_t> job{0};
};

namespace qx {

static_assert(QENDIX_OK == S_OK && QENDIX_S_FALSE == S_FALSE && QENDIX_E_NOTIMPL == E_NOTIMPL &&
              QENDIX_E_POINTER == E_POINTER && QENDIX_E_FAIL == E_FAIL &&
              QENDIX_E_UNEXPECTED == E_UNEXPECTED && QENDIX_E_OUTOFMEMORY == E_OUTOFMEMORY &&
              QENDIX_E_INVALIDARG == E_INVALIDARG && QENDIX_E_BUSY == E_BUSY &&
              QENDIX_E_CLASSNOTAVAILABLE == CLASS_E_CLASSNOTAVAILABLE &&
              QENDIX_E_NOCONNECTION == CONNECT_E_NOCONNECTION);

namespace {

// A fixed buffer: reporting a failure never allocates, so it works also after std::bad_alloc.
thread_local char tls_error[160] = "no error";

HRESULT Report(HRESULT hr, const char* what) noexcept {
  if (Failed(hr))
    std::snprintf(tls_error, sizeof tls_error, "%s failed with 0x%08X", what,
                  static_cast<unsigned>(hr));
  return hr;
}

// Runs `body` (which reports its own failures) so that no exception leaves; an exception is
// reported as a failure of `what`.
template <typename Body>
int Guarded(const char* what, Body&& body) noexcept {
  bool returned = false;
  HRESULT hr = GuardedCall([&] {
    HRESULT r = body();
    returned = true;
    return r;
  });
  return returned ? hr : Report(hr, what);
}

char* CopyString(std::string_view s) {
  char* out = static_cast<char*>(std::malloc(s.size() + 1));
  if (out) {
    std::memcpy(out, s.data(), s.size());
    out[s.size()] = '\0';
  }
  return out;
}

// Disconnects a sink of `q` and waits until its callback can no longer run.
void Disconnect(qendix* q, unsigned cookie, CEventSink* sink) {
  q->point->Unadvise(cookie);
  sink->Close();
}

}  // namespace
}  // namespace qx

using namespace qx;

extern "C" {

int qendix_open(qendix** out) {
  if (!out) return Report(E_POINTER, "qendix_open");
  *out = nullptr;
  return Guarded("qendix_open", [&] {
    EnsureModuleInitialized();
    auto q = std::make_unique<qendix>();
    HRESULT hr = CreateObjectByProgId("qendix.1", IQendix::kIid, q->component.PutVoid());
    if (Succeeded(hr)) {
      auto container = q->component.As<IConnectionPointContainer>();
      hr = container ? container->FindConnectionPoint(_IQendixEvents::kIid, q->point.Put())
                     : E_NOINTERFACE;
    }
    if (Failed(hr)) return Report(hr, "qendix_open");
    *out = q.release();
    return S_OK;
  });
}

void qendix_free(qendix* q) {
  if (!q) return;
  Guarded("qendix_free", [&] {
    std::vector<std::pair<unsigned, RefPtr<CEventSink>>> sinks;
    {
      std::lock_guard lock(q->sinks_lock);
      sinks.swap(q->sinks);
    }
    for (auto& [cookie, sink] : sinks) Disconnect(q, cookie, sink.Get());
    delete q;
    return S_OK;
  });
}

int qendix_set(qendix* q, const char* name, const char* value) {
  if (!q || !name) return Report(E_POINTER, "qendix_set");
  return Guarded("qendix_set", [&] {
    IQendix* c = q->component.Get();
    if (const StringProperty* p = FindStringProperty(name); p && p->put)
      return Report((c->*p->put)(value ? BStr(value) : std::nullopt), "qendix_set");
    if (const BoolProperty* p = FindBoolProperty(name); p && p->put) {
      if (!value || (std::strcmp(value, "true") != 0 && std::strcmp(value, "false") != 0))
        return Report(E_INVALIDARG, "qendix_set (a boolean takes \"true\" or \"false\")");
      return Report((c->*p->put)(std::strcmp(value, "true") == 0 ? VARIANT_TRUE : VARIANT_FALSE),
                    "qendix_set");
    }
    return Report(E_INVALIDARG, "qendix_set (unknown property)");
  });
}

int qendix_get(qendix* q, const char* name, char** value) {
  if (!q || !name || !value) return Report(E_POINTER, "qendix_get");
  *value = nullptr;
  return Guarded("qendix_get", [&] {
    IQendix* c = q->component.Get();
    if (const StringProperty* p = FindStringProperty(name)) {
      BStr v;
      HRESULT hr = (c->*p->get)(&v);
      if (Succeeded(hr) && v && !(*value = CopyString(*v))) hr = E_OUTOFMEMORY;
      return Report(hr, "qendix_get");
    }
    if (const BoolProperty* p = FindBoolProperty(name)) {
      VariantBool v = 0;
      HRESULT hr = (c->*p->get)(&v);
      if (Succeeded(hr) && !(*value = CopyString(v == VARIANT_TRUE ? "true" : "false")))
        hr = E_OUTOFMEMORY;
      return Report(hr, "qendix_get");
    }
    return Report(E_INVALIDARG, "qendix_get (unknown property)");
  });
}

void qendix_string_free(char* s) {
  std::free(s);
}

int qendix_advise(qendix* q, qendix_event_cb callback, void* payload, unsigned* cookie) {
  if (!q || !callback || !cookie) return Report(E_POINTER, "qendix_advise");
  *cookie = 0;
  return Guarded("qendix_advise", [&] {
    auto sink = RefPtr<CEventSink>::Adopt(new CEventSink(callback, payload));
    std::lock_guard lock(q->sinks_lock);
    q->sinks.reserve(q->sinks.size() + 1);  // so that recording the sink below cannot fail
    uint32_t c = 0;
    HRESULT hr = q->point->Advise(static_cast<_IQendixEvents*>(sink.Get()), &c);
    if (Failed(hr)) return Report(hr, "qendix_advise");
    q->sinks.emplace_back(c, std::move(sink));
    *cookie = c;
    return S_OK;
  });
}

int qendix_unadvise(qendix* q, unsigned cookie) {
  if (!q) return Report(E_POINTER, "qendix_unadvise");
  return Guarded("qendix_unadvise", [&] {
    RefPtr<CEventSink> sink;
    {
      std::lock_guard lock(q->sinks_lock);
      for (auto it = q->sinks.begin(); it != q->sinks.end(); ++it) {
        if (it->first == cookie) {
          sink = std::move(it->second);
          q->sinks.erase(it);
          break;
        }
      }
    }
    if (!sink) return Report(CONNECT_E_NOCONNECTION, "qendix_unadvise");
    // Waits outside the handle's lock: the callback may itself unadvise another cookie.
    Disconnect(q, cookie, sink.Get());
    return S_OK;
  });
}

int qendix_set_prompt(qendix* q, qendix_prompt_cb callback, void* payload) {
  if (!q) return Report(E_POINTER, "qendix_set_prompt");
  return Guarded("qendix_set_prompt", [&] {
    RefPtr<CEventSink> old;
    unsigned oldCookie = 0;
    {
      std::lock_guard lock(q->sinks_lock);
      for (auto it = q->sinks.begin(); q->promptCookie && it != q->sinks.end(); ++it) {
        if (it->first == q->promptCookie) {
          oldCookie = it->first;
          old = std::move(it->second);
          q->sinks.erase(it);
          break;
        }
      }
      q->promptCookie = 0;
    }
    if (old) Disconnect(q, oldCookie, old.Get());
    if (!callback) return S_OK;
    auto sink = RefPtr<CEventSink>::Adopt(new CEventSink(callback, payload));
    std::lock_guard lock(q->sinks_lock);
    q->sinks.reserve(q->sinks.size() + 1);
    uint32_t c = 0;
    HRESULT hr = q->point->Advise(static_cast<_IQendixEvents*>(sink.Get()), &c);
    if (Failed(hr)) return Report(hr, "qendix_set_prompt");
    q->sinks.emplace_back(c, std::move(sink));
    q->promptCookie = c;
    return S_OK;
  });
}

int qendix_start(qendix* q, const char* job) {
  if (!q || !job) return Report(E_POINTER, "qendix_start");
  return Guarded("qendix_start", [&] {
    IQendix* c = q->component.Get();
    std::string_view j = job;
    // The job's number lands in q->job before its worker runs: its first callback may wait.
    JobNumberCapture capture(&q->job);
    HRESULT hr;
    if (j == "read") {
      hr = c->Read();
    } else if (j == "check") {
      hr = c->Check();
    } else if (j == "anonymize") {
      hr = c->Anonymize();
    } else if (j == "send") {
      hr = c->Send();
    } else if (j == "auto") {
      hr = c->Auto();
    } else {
      return Report(E_INVALIDARG, "qendix_start (unknown job)");
    }
    return Report(hr, "qendix_start");
  });
}

int qendix_cancel(qendix* q) {
  if (!q) return Report(E_POINTER, "qendix_cancel");
  return Guarded("qendix_cancel", [&] { return Report(q->component->Cancel(), "qendix_cancel"); });
}

int qendix_wait(qendix* q, int timeout_ms) {
  if (!q) return Report(E_POINTER, "qendix_wait");
  return Guarded("qendix_wait", [&] {
    HRESULT hr = WaitForJobsEnded(q->job, timeout_ms);
    if (hr == E_UNEXPECTED) return Report(hr, "qendix_wait (called on the job's own thread)");
    return hr;
  });
}

const char* qendix_last_error(void) {
  return tls_error;
}

}  // extern "C"
