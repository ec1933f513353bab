// "Asas.Client.Conf": the client's logins, the login in use, the entries of a login and the
// sections of the configuration.
#include "client_ops.h"
#include "collection.h"
#include "com_object.h"
#include "objects.h"

namespace asas {
namespace {

// Section and key names are at most this long.
constexpr size_t kMaxNameBytes = 255;

bool IsUsableName(const qx::BStr& name) {
  return name && !name->empty() && name->size() <= kMaxNameBytes;
}

class ClientConf final : public ComObject<qx::IAsasClientConf> {
 public:
  explicit ClientConf(Home home) : home_(std::move(home)) {}

  qx::HRESULT ConfLogins(qx::Variant* logins) override {
    if (!logins) return qx::E_POINTER;
    return Guarded([&] {
      Config config;
      qx::HRESULT hr = LoadConfig(home_, &config);
      if (qx::Failed(hr)) return hr;
      std::vector<qx::Variant> names;
      for (const auto& login : config.logins) names.emplace_back(login.name);
      *logins = qx::Variant(MakeCollection(std::move(names)).As<qx::IUnknown>());
      return qx::S_OK;
    });
  }

  qx::HRESULT ConfCurrentLogin(qx::BStr* login) override {
    if (!login) return qx::E_POINTER;
    return Guarded([&] {
      RunState state;
      qx::HRESULT hr = LoadRunState(home_, &state);
      if (qx::Failed(hr)) return hr;
      if (state.current().empty()) {
        *login = std::nullopt;
        return qx::S_FALSE;
      }
      *login = state.current();
      return qx::S_OK;
    });
  }

  qx::HRESULT ConfSetCurrentLogin(const qx::BStr& login) override {
    if (!IsUsableName(login)) return qx::E_INVALIDARG;
    return Guarded([&] { return SelectLogin(home_, *login); });
  }

  qx::HRESULT ConfLoginEntries(const qx::BStr& login, qx::Variant* entries) override {
    if (!entries) return qx::E_POINTER;
    if (!IsUsableName(login)) return qx::E_INVALIDARG;
    return Guarded([&] {
      Config config;
      qx::HRESULT hr = LoadConfig(home_, &config);
      if (qx::Failed(hr)) return hr;
      const LoginRecord* record = config.FindLogin(*login);
      if (!record) return kNotFound;
      *entries = qx::Variant(MakeEntryCollection(record->entries).As<qx::IUnknown>());
      return qx::S_OK;
    });
  }

  qx::HRESULT ConfGetValue(const qx::BStr& section, const qx::BStr& key,
                           qx::Variant* value) override {
    if (!value) return qx::E_POINTER;
    if (!IsUsableName(section) || !IsUsableName(key)) return qx::E_INVALIDARG;
    return Guarded([&] {
      Config config;
      qx::HRESULT hr = LoadConfig(home_, &config);
      if (qx::Failed(hr)) return hr;
      const ConfigKey* found = config.FindKey(*section, *key);
      if (!found) return kNotFound;
      *value = found->is_list ? qx::Variant(MakeEntryCollection(found->entries).As<qx::IUnknown>())
                              : qx::Variant(found->value);
      return qx::S_OK;
    });
  }

  // A string stores the value; an empty string, an empty or a null variant withdraws the key
  // (S_FALSE when it was not set). List-valued keys belong to the key store and cannot be set.
  qx::HRESULT ConfSetValue(const qx::BStr& section, const qx::BStr& key,
                           const qx::Variant& value) override {
    if (!IsUsableName(section) || !IsUsableName(key)) return qx::E_INVALIDARG;
    const std::string* text = value.TryString();
    if (!text && !value.IsEmpty() && !value.IsNull()) return qx::DISP_E_TYPEMISMATCH;
    if (text && text->size() > kMaxValueBytes) return qx::E_INVALIDARG;
    bool withdraw = !text || text->empty();
    return Guarded([&] {
      FileLock lock;
      qx::HRESULT hr = LockHome(home_, &lock);
      if (qx::Failed(hr)) return hr;
      Config config;
      hr = LoadConfig(home_, &config);
      if (qx::Failed(hr)) return hr;
      const ConfigKey* existing = config.FindKey(*section, *key);
      if (existing && existing->is_list) return qx::E_ACCESSDENIED;
      if (withdraw) {
        if (!config.RemoveKey(*section, *key)) return qx::S_FALSE;
      } else {
        config.KeyFor(*section, *key).value = *text;
      }
      return SaveConfig(home_, config);
    });
  }

 private:
  const Home home_;
};

}  // namespace

qx::RefPtr<qx::IAsasClientConf> MakeClientConf(const Home& home) {
  return qx::RefPtr<qx::IAsasClientConf>::Adopt(new ClientConf(home));
}

}  // namespace asas
