// The C interface (include/qendix/qendix_c.h) over the component's C++ interfaces.
#include "qendix/qendix_c.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "component/module_state.h"
#include "platform/class_registry.h"
#include "qendix/properties.h"
#include "qendix/qendix.h"

struct qendix {
  qx::RefPtr<qx::IQendix> component;
  qx::RefPtr<qx::IConnectionPoint> point;
};

namespace qx {
namespace {

thread_local std::string tls_error = "no error";

int Report(HRESULT hr, const char* what) {
  if (Failed(hr)) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    tls_error = std::string(what) + " failed with " + code;
  }
  return hr;
}

class CallbackSink final : public ComObject<_IQendixEvents> {
 public:
  CallbackSink(qendix_event_cb callback, void* payload) : callback_(callback), payload_(payload) {}
  HRESULT qendixEvent(tagMsgLevel level, tagMsgClass mclass, tagMsgOrigin origin, int32_t code,
                      const BStr& fileName, const BStr& msg) override {
    callback_(level, mclass, origin, code, fileName ? fileName->c_str() : nullptr,
              msg ? msg->c_str() : nullptr, payload_);
    return S_OK;
  }

 private:
  ~CallbackSink() = default;
  qendix_event_cb callback_;
  void* payload_;
};

char* CopyString(const std::string& s) {
  char* out = static_cast<char*>(std::malloc(s.size() + 1));
  if (out) std::memcpy(out, s.c_str(), s.size() + 1);
  return out;
}

}  // namespace
}  // namespace qx

using namespace qx;

extern "C" {

int qendix_open(qendix** out) {
  if (!out) return Report(E_POINTER, "qendix_open");
  *out = nullptr;
  EnsureModuleInitialized();
  auto* q = new (std::nothrow) qendix;
  if (!q) return Report(E_OUTOFMEMORY, "qendix_open");
  HRESULT hr = CreateObjectByProgId("qendix.1", IQendix::kIid, q->component.PutVoid());
  if (Succeeded(hr)) {
    auto container = q->component.As<IConnectionPointContainer>();
    hr = container ? container->FindConnectionPoint(_IQendixEvents::kIid, q->point.Put())
                   : E_NOINTERFACE;
  }
  if (Failed(hr)) {
    delete q;
    return Report(hr, "qendix_open");
  }
  *out = q;
  return S_OK;
}

void qendix_free(qendix* q) {
  delete q;
}

int qendix_set(qendix* q, const char* name, const char* value) {
  if (!q || !name) return Report(E_POINTER, "qendix_set");
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
}

int qendix_get(qendix* q, const char* name, char** value) {
  if (!q || !name || !value) return Report(E_POINTER, "qendix_get");
  *value = nullptr;
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
}

void qendix_string_free(char* s) {
  std::free(s);
}

int qendix_advise(qendix* q, qendix_event_cb callback, void* payload, unsigned* cookie) {
  if (!q || !callback || !cookie) return Report(E_POINTER, "qendix_advise");
  auto* sink = new (std::nothrow) CallbackSink(callback, payload);
  if (!sink) return Report(E_OUTOFMEMORY, "qendix_advise");
  uint32_t c = 0;
  HRESULT hr = q->point->Advise(static_cast<_IQendixEvents*>(sink), &c);
  sink->Release();
  *cookie = c;
  return Report(hr, "qendix_advise");
}

int qendix_unadvise(qendix* q, unsigned cookie) {
  if (!q) return Report(E_POINTER, "qendix_unadvise");
  return Report(q->point->Unadvise(cookie), "qendix_unadvise");
}

int qendix_start(qendix* q, const char* job) {
  if (!q || !job) return Report(E_POINTER, "qendix_start");
  IQendix* c = q->component.Get();
  std::string j = job;
  if (j == "read") return Report(c->Read(), "qendix_start read");
  if (j == "check") return Report(c->Check(), "qendix_start check");
  if (j == "anonymize") return Report(c->Anonymize(), "qendix_start anonymize");
  if (j == "send") return Report(c->Send(), "qendix_start send");
  if (j == "auto") return Report(c->Auto(), "qendix_start auto");
  return Report(E_INVALIDARG, "qendix_start (unknown job)");
}

int qendix_cancel(qendix* q) {
  if (!q) return Report(E_POINTER, "qendix_cancel");
  return Report(q->component->Cancel(), "qendix_cancel");
}

const char* qendix_last_error(void) {
  return tls_error.c_str();
}

}  // extern "C"
