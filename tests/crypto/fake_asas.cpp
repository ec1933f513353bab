#include "fake_asas.h"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "platform/class_registry.h"

namespace qx::testing {
namespace {

HRESULT FailureOf(const char* operation) {
  auto& state = FakeAsas();
  auto it = state.failures.find(operation);
  return it == state.failures.end() ? S_OK : it->second;
}

// Records the call and returns its configured failure (S_OK when none).
HRESULT Call(const std::string& operation, const std::string& argument = {}) {
  auto& state = FakeAsas();
  std::lock_guard lock(state.mutex);
  state.calls.push_back(argument.empty() ? operation : operation + "(" + argument + ")");
  return FailureOf(operation.c_str());
}

template <typename Self, typename Interface>
HRESULT QueryOne(Self* self, Interface* as, const Guid& iid, void** out) {
  if (iid == IUnknown::kIid || iid == Interface::kIid) {
    self->AddRef();
    *out = as;
    return S_OK;
  }
  return E_NOINTERFACE;
}

#define FAKE_REFCOUNT                  \
  uint32_t AddRef() override {         \
    return refs_.Increment();          \
  }                                    \
  uint32_t Release() override {        \
    uint32_t left = refs_.Decrement(); \
    if (left == 0) delete this;        \
    return left;                       \
  }                                    \
  RefCount refs_;

class FakeEntry final : public IAsasEntry {
 public:
  FakeEntry(Variant name, Variant value) : name_(std::move(name)), value_(std::move(value)) {}
  HRESULT QueryInterface(const Guid& iid, void** out) override {
    return QueryOne(this, static_cast<IAsasEntry*>(this), iid, out);
  }
  HRESULT get_Name(Variant* pVal) override {
    *pVal = name_;
    return S_OK;
  }
  HRESULT get_Value(Variant* pVal) override {
    *pVal = value_;
    return S_OK;
  }
  FAKE_REFCOUNT
 private:
  Variant name_;
  Variant value_;
};

class FakeCollection final : public IAsasCollection {
 public:
  explicit FakeCollection(std::vector<Variant> items) : items_(std::move(items)) {}
  HRESULT QueryInterface(const Guid& iid, void** out) override {
    return QueryOne(this, static_cast<IAsasCollection*>(this), iid, out);
  }
  HRESULT get_Count(int32_t* pVal) override {
    *pVal = static_cast<int32_t>(items_.size());
    return S_OK;
  }
  HRESULT get_Item(int32_t idx, Variant* pVal) override {
    if (idx < 1 || idx > static_cast<int32_t>(items_.size())) return DISP_E_BADINDEX;
    *pVal = items_[static_cast<size_t>(idx - 1)];
    return S_OK;
  }
  HRESULT get__NewEnum(IUnknown** ppUnk) override { return E_NOTIMPL; }
  FAKE_REFCOUNT
 private:
  std::vector<Variant> items_;
};

// An object that offers nothing but IUnknown.
class FakePlain final : public IUnknown {
 public:
  HRESULT QueryInterface(const Guid& iid, void** out) override {
    if (iid == IUnknown::kIid) {
      AddRef();
      *out = this;
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  FAKE_REFCOUNT
};

Variant CollectionVariant(std::vector<Variant> items) {
  return Variant(RefPtr<IUnknown>::Adopt(new FakeCollection(std::move(items))));
}

Variant EntriesVariant(const std::vector<std::pair<Variant, Variant>>& entries) {
  std::vector<Variant> items;
  for (const auto& [name, value] : entries)
    items.emplace_back(RefPtr<IUnknown>::Adopt(new FakeEntry(name, value)));
  return CollectionVariant(std::move(items));
}

class FakeConnectionPoint final : public IConnectionPoint {
 public:
  HRESULT QueryInterface(const Guid& iid, void** out) override {
    return QueryOne(this, static_cast<IConnectionPoint*>(this), iid, out);
  }
  HRESULT GetConnectionInterface(Guid* iid) override {
    *iid = IAsasEvents::kIid;
    return S_OK;
  }
  HRESULT Advise(IUnknown* sink, uint32_t* cookie) override {
    Call("Advise");
    RefPtr<IAsasEvents> events = RefPtr<IUnknown>::Share(sink).As<IAsasEvents>();
    if (!events) return CONNECT_E_CANNOTCONNECT;
    auto& state = FakeAsas();
    std::lock_guard lock(state.mutex);
    state.sinks.push_back(events);
    *cookie = static_cast<uint32_t>(state.sinks.size());
    return S_OK;
  }
  HRESULT Unadvise(uint32_t cookie) override {
    Call("Unadvise");
    auto& state = FakeAsas();
    std::lock_guard lock(state.mutex);
    if (cookie == 0 || cookie > state.sinks.size() || !state.sinks[cookie - 1])
      return CONNECT_E_NOCONNECTION;
    state.sinks[cookie - 1].Reset();
    return S_OK;
  }
  FAKE_REFCOUNT
};

class FakeClient final : public IAsasClient, public IConnectionPointContainer {
 public:
  HRESULT QueryInterface(const Guid& iid, void** out) override {
    if (iid == IUnknown::kIid || iid == IAsasClient::kIid) {
      AddRef();
      *out = static_cast<IAsasClient*>(this);
      return S_OK;
    }
    if (iid == IConnectionPointContainer::kIid) {
      AddRef();
      *out = static_cast<IConnectionPointContainer*>(this);
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  HRESULT ClientIsRunning(VariantBool* running) override {
    HRESULT hr = Call("ClientIsRunning");
    *running = FakeAsas().running ? VARIANT_TRUE : VARIANT_FALSE;
    return hr;
  }
  HRESULT ClientVersion(BStr* version) override {
    *version = "fake 1.0";
    return Call("ClientVersion");
  }
  HRESULT ClientStart() override {
    HRESULT hr = Call("ClientStart");
    if (Succeeded(hr)) FakeAsas().running = true;
    return hr;
  }
  HRESULT ClientStop() override {
    HRESULT hr = Call("ClientStop");
    if (Succeeded(hr)) FakeAsas().running = false;
    return hr;
  }
  HRESULT FindConnectionPoint(const Guid& iid, IConnectionPoint** out) override {
    if (!(iid == IAsasEvents::kIid)) return CONNECT_E_NOCONNECTION;
    *out = new FakeConnectionPoint;
    return S_OK;
  }
  FAKE_REFCOUNT
};

class FakeConf final : public IAsasClientConf {
 public:
  HRESULT QueryInterface(const Guid& iid, void** out) override {
    return QueryOne(this, static_cast<IAsasClientConf*>(this), iid, out);
  }
  HRESULT ConfLogins(Variant* logins) override {
    HRESULT hr = Call("ConfLogins");
    auto& state = FakeAsas();
    if (!state.loginsOfferCollection) {
      *logins = Variant(RefPtr<IUnknown>::Adopt(new FakePlain));
      return hr;
    }
    std::vector<Variant> items;
    for (const auto& login : state.logins) items.emplace_back(login);
    *logins = CollectionVariant(std::move(items));
    return hr;
  }
  HRESULT ConfCurrentLogin(BStr* login) override {
    *login = FakeAsas().currentLogin;
    return Call("ConfCurrentLogin");
  }
  HRESULT ConfSetCurrentLogin(const BStr& login) override {
    HRESULT hr = Call("ConfSetCurrentLogin", login.value_or(""));
    if (Succeeded(hr)) FakeAsas().currentLogin = login.value_or("");
    return hr;
  }
  HRESULT ConfLoginEntries(const BStr& login, Variant* entries) override {
    HRESULT hr = Call("ConfLoginEntries", login.value_or(""));
    auto& map = FakeAsas().loginEntries;
    auto it = map.find(login.value_or(""));
    *entries =
        EntriesVariant(it == map.end() ? std::vector<std::pair<Variant, Variant>>{} : it->second);
    return hr;
  }
  HRESULT ConfGetValue(const BStr& section, const BStr& key, Variant* value) override {
    HRESULT hr = Call("ConfGetValue", section.value_or("") + "," + key.value_or(""));
    if (section == BStr("smime") && key == BStr("key"))
      *value = EntriesVariant(FakeAsas().smimeKeys);
    return hr;
  }
  HRESULT ConfSetValue(const BStr& section, const BStr& key, const Variant& value) override {
    HRESULT hr = Call("ConfSetValue", key.value_or(""));
    if (Succeeded(hr)) {
      auto& state = FakeAsas();
      std::lock_guard lock(state.mutex);
      state.setValues.push_back({section.value_or(""), key.value_or(""), value});
    }
    return hr;
  }
  FAKE_REFCOUNT
};

std::string ReadWhole(const std::string& path, bool* ok) {
  std::ifstream in(path, std::ios::binary);
  *ok = static_cast<bool>(in);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class FakeSmime final : public IAsasSmime, public IAsasSmimeMemory {
 public:
  HRESULT QueryInterface(const Guid& iid, void** out) override {
    if (iid == IAsasSmimeMemory::kIid && FakeAsas().offerMemory) {
      *out = static_cast<IAsasSmimeMemory*>(this);
      AddRef();
      return S_OK;
    }
    return QueryOne(this, static_cast<IAsasSmime*>(this), iid, out);
  }
  HRESULT SmimeLoadText(const BStr& message) override {
    auto& state = FakeAsas();
    Call("SmimeLoad");
    state.loadedPaths.push_back("(memory)");
    if (!message) return E_INVALIDARG;
    state.loaded = *message;
    loaded_ = true;
    return S_OK;
  }
  HRESULT SmimeSaveText(BStr* envelope) override {
    Call("SmimeSave");
    FakeAsas().savedPaths.push_back("(memory)");
    *envelope = envelope_;
    return S_OK;
  }
  HRESULT SmimeLoad(const BStr& fileName) override {
    auto& state = FakeAsas();
    const std::string path = fileName.value_or("");
    Call("SmimeLoad");
    state.loadedPaths.push_back(path);
    if (state.loadFailuresLeft > 0) {
      --state.loadFailuresLeft;
      HRESULT hr = FailureOf("SmimeLoad");
      return Failed(hr) ? hr : E_ACCESSDENIED;
    }
    bool ok = false;
    state.loaded = ReadWhole(path, &ok);
    if (!ok) return E_FAIL;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) state.fileMode = st.st_mode & 07777;
    loaded_ = true;
    return S_OK;
  }
  HRESULT SmimeEncrypt() override {
    HRESULT hr = Call("SmimeEncrypt");
    if (Failed(hr)) return hr;
    if (!loaded_) return E_UNEXPECTED;
    auto& state = FakeAsas();
    envelope_ = state.envelope ? state.envelope(state.loaded) : DefaultEnvelope(state.loaded);
    return S_OK;
  }
  HRESULT SmimeSave(const BStr& fileName) override {
    auto& state = FakeAsas();
    Call("SmimeSave");
    if (state.saveFailuresLeft > 0) {
      --state.saveFailuresLeft;
      HRESULT hr = FailureOf("SmimeSave");
      return Failed(hr) ? hr : E_ACCESSDENIED;
    }
    const std::string path = fileName.value_or("");
    state.savedPaths.push_back(path);
    struct stat st {};
    if (::stat(path.substr(0, path.rfind('/')).c_str(), &st) == 0)
      state.folderMode = st.st_mode & 07777;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << envelope_;
    return out ? S_OK : E_FAIL;
  }
  HRESULT SmimeFindCertificate(const BStr& name, BStr* certificate) override {
    Call("SmimeFindCertificate", name.value_or(""));
    auto& certs = FakeAsas().certificates;
    auto it = certs.find(name.value_or(""));
    if (it == certs.end()) return E_FAIL;
    *certificate = it->second;
    return S_OK;
  }
  FAKE_REFCOUNT
 private:
  bool loaded_ = false;
  std::string envelope_;
};

HRESULT FakeCreate(const char* progid, const Guid* iid, void** out) {
  *out = nullptr;
  std::string name(progid);
  if (FakeAsas().missing.count(name)) return REGDB_E_CLASSNOTREG;
  RefPtr<IUnknown> object;
  if (name == "Asas.Client") {
    object = RefPtr<IUnknown>::Adopt(static_cast<IAsasClient*>(new FakeClient));
  } else if (name == "Asas.Client.Conf") {
    object = RefPtr<IUnknown>::Adopt(new FakeConf);
  } else if (name == "ASAS.SMIME" || name == "Asas.SMIME") {
    object = RefPtr<IUnknown>::Adopt(static_cast<IAsasSmime*>(new FakeSmime));
  } else {
    return REGDB_E_CLASSNOTREG;
  }
  return object->QueryInterface(*iid, out);
}

}  // namespace

FakeAsasState& FakeAsas() {
  static FakeAsasState* state = new FakeAsasState;
  return *state;
}

void InstallFakeAsas() {
  auto& state = FakeAsas();
  state.~FakeAsasState();
  new (&state) FakeAsasState;
  SetAsasFactoryForTesting(&FakeCreate);
}

void RaiseFakeStatus(int16_t level, const std::string& text) {
  std::vector<RefPtr<IAsasEvents>> sinks;
  {
    auto& state = FakeAsas();
    std::lock_guard lock(state.mutex);
    sinks = state.sinks;
  }
  for (auto& sink : sinks)
    if (sink) sink->AsasStatus(level, text);
}

std::string DefaultEnvelope(const std::string& loaded) {
  std::string out = "Content-Type: application/x-fake-envelope\r\n\r\n";
  for (size_t pos = 0; pos < loaded.size(); pos += 48) {
    std::string chunk = loaded.substr(pos, 48);
    unsigned char encoded[80];
    int n = EVP_EncodeBlock(encoded, reinterpret_cast<const unsigned char*>(chunk.data()),
                            static_cast<int>(chunk.size()));
    out.append(reinterpret_cast<char*>(encoded), static_cast<size_t>(n));
    out += "\r\n";
  }
  return out;
}

std::string DecodeBase64(const std::string& text) {
  std::string clean;
  for (char c : text)
    if (c != '\n' && c != '\r') clean += c;
  if (clean.size() % 4 != 0) return {};
  std::string out(clean.size() / 4 * 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(clean.data()),
                          static_cast<int>(clean.size()));
  if (n < 0) return {};
  size_t pad = 0;
  if (!clean.empty() && clean.back() == '=') ++pad;
  if (clean.size() > 1 && clean[clean.size() - 2] == '=') ++pad;
  out.resize(static_cast<size_t>(n) - pad);
  return out;
}

}  // namespace qx::testing
